// plenx_glue/attributes.hpp: instance attributes read and written where the interpreter keeps them.
//
// Plain instances of a class keep their attributes in an inline values array ordered by the
// class's shared keys. While the class is unchanged (same version tag) and has nothing of that
// name itself, `obj.name` is that array's entry: the interpreter's own specialised attribute
// access relies on the same facts. Anything else goes through the generic C API.
#pragma once

#include <cstdint>

#include "names.hpp"
#include "ref.hpp"

namespace glue {

namespace detail {
/// Whether this interpreter's instance layout was recognised when the glue was set up.
extern bool inline_values_known;
/// Looks `name` up on `type` and remembers what it found; null when nothing lasting was learnt.
const SlotMemo* remember(PyTypeObject* type, const Name& name) noexcept;
}  // namespace detail

/// The version tag of a type, or 0 when it has none that is valid.
inline unsigned int version_tag(PyTypeObject* type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

/// 3.11: an instance's inline attribute values sit behind a pointer four words before the object
/// (null once the instance has a dict of its own). Only for classes with a managed dict.
inline PyObject** inline_values(PyObject* o) noexcept { return reinterpret_cast<PyObject***>(o)[-4]; }

/// What `type` currently makes of `name`, remembered per class version; null when unknown.
inline const SlotMemo* memo_of(PyTypeObject* type, const Name& name) noexcept {
    // Version tags are never reused, so a match can only be this class as it is now.
    if (const unsigned int version = version_tag(type); version != 0) {
        if (name.slots[0].version == version) return &name.slots[0];
        if (name.slots[1].version == version) return &name.slots[1];
    }
    return detail::remember(type, name);
}

/// `name` looked up on `type` and its bases, as _PyType_Lookup does (borrowed, or null).
inline PyObject* class_attribute(PyTypeObject* type, const Name& name) noexcept {
    const SlotMemo* memo = memo_of(type, name);
    return memo ? memo->class_attribute : _PyType_Lookup(type, name);
}

/// The slot holding `o.name` in place, or null when the generic path must be taken.
/// A slot may hold null: the attribute is not set on this instance.
inline PyObject** instance_slot(PyObject* o, const Name& name) noexcept {
    if constexpr (PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000) return nullptr;
    PyTypeObject* type = Py_TYPE(o);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    PyObject** values = inline_values(o);
    if (values == nullptr) return nullptr;
    const SlotMemo* memo = memo_of(type, name);
    return memo && memo->in_place ? values + memo->index : nullptr;
}

/// Starts fetching the objects held in `o`'s plain attributes, all at once, so that reading
/// them one by one does not wait on memory for each in turn. Changes nothing.
inline void prefetch_attributes(PyObject* o) noexcept {
    if (!detail::inline_values_known || !(Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return;
    PyObject** values = inline_values(o);
    if (values == nullptr) return;
    // 3.11: [-2] counts the attributes set, and the bytes before it hold their indices.
    const auto* order = reinterpret_cast<const uint8_t*>(values);
    for (int i = 0, count = order[-2]; i < count; i++) __builtin_prefetch(values[order[-3 - i]]);
}

/// Stores `value` in a slot instance_slot gave for `o`: a new attribute also joins the end of
/// the instance's insertion order (what vars() lists), as the interpreter's own store does.
/// False, with nothing stored, where that order has no room (the generic store then decides).
inline bool store_in_place(PyObject* o, PyObject** slot, PyObject* value) noexcept {
    if (PyObject* old = *slot) {
        *slot = Py_NewRef(value);
        Py_DECREF(old);  // last: a finaliser it runs sees the new value in place
        return true;
    }
    // 3.11: the bytes before the values hold [-1] the prefix size, [-2] the count of attributes
    // set, and before those their indices in the order they were set.
    auto* values = reinterpret_cast<uint8_t*>(inline_values(o));
    const int count = values[-2] + 1;
    if (count + 2 > values[-1]) return false;
    *slot = Py_NewRef(value);
    values[-2 - count] = static_cast<uint8_t>(slot - reinterpret_cast<PyObject**>(values));
    values[-2] = static_cast<uint8_t>(count);
    return true;
}

/// The function `o.name` finds when it is one of our functions defined by o's class and o has
/// no attribute of that name itself; null when the generic path must be taken. Calling it with
/// `o` in front is then `o.name(...)`.
PyObject* own_method(PyObject* o, const Name& name) noexcept;

/// Checks the layout assumptions once, on a throwaway class; without them only the C API is used.
void probe_inline_values();

}  // namespace glue
