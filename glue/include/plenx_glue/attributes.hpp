// plenx_glue/attributes.hpp: instance attributes read and written where the interpreter keeps them.
//
// While the class's version tag holds, a plain attribute is its entry in the inline values array.
#pragma once

#include <iterator>
#include <span>
#include <utility>

#include "cpython/access.hpp"
#include "cpython/dict_tables.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace glue {

namespace detail {
/// Looks `name` up on `type` and remembers what it found; null when nothing lasting was learnt.
const SlotMemo* remember(PyTypeObject* type, const Name& name) noexcept;

/// Whether `memo` is of `type` at `version` (not 0), as it is now.
inline bool memo_holds(const SlotMemo& memo, unsigned int version) noexcept {
    // Version tags are never reused, so a match can only be this class as it is now; the
    // holder's version also covers a class attribute replaced but not yet announced (a
    // finaliser run by the old value sees a class whose tag has not changed yet).
    return memo.version == version && (!memo.holder || dict_version(memo.holder) == memo.holder_version);
}

/// memo_of() past its first memory: the others, then a new one.
const SlotMemo* memo_after_first(PyTypeObject* type, const Name& name, unsigned int version) noexcept;
}  // namespace detail

/// What `type` currently makes of `name`, remembered per class version; null when unknown.
inline const SlotMemo* memo_of(PyTypeObject* type, const Name& name) noexcept {
    // A phase works through one class's instances: the class used last is asked of first.
    const unsigned int version = version_tag(type);
    const SlotMemo& first = name.state().slots[0];
    if (version != 0 && detail::memo_holds(first, version)) [[likely]]
        return &first;
    return detail::memo_after_first(type, name, version);
}

/// `name` looked up on `type` and its bases, as type_lookup does (borrowed, or null).
inline PyObject* class_attribute(PyTypeObject* type, const Name& name) noexcept {
    const SlotMemo* memo = memo_of(type, name);
    return memo ? memo->class_attribute : type_lookup(type, name);
}

/// The slot holding `o.name` in place (null inside: not set), or null for the generic path.
inline PyObject** instance_slot(PyObject* o, const Name& name) noexcept {
    if constexpr (!mirrors_layouts) return nullptr;
    PyTypeObject* type = Py_TYPE(o);
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    PyObject** values = inline_values(o);
    if (values == nullptr) return nullptr;
    const SlotMemo* memo = memo_of(type, name);
    return memo && memo->in_place ? inline_slot(values, memo->index) : nullptr;
}

/// instance_slot() of one name for objects read one after another while nothing runs: the class
/// last asked of is remembered for the next object, so a run of one class's instances asks once.
class SlotReader {
public:
    explicit SlotReader(const Name& name) noexcept : name_(name) {}
    PyObject** operator()(PyObject* o) noexcept {
        if constexpr (!mirrors_layouts) return nullptr;
        PyTypeObject* type = Py_TYPE(o);
        if (type != type_) {
            const SlotMemo* memo = type->tp_flags & Py_TPFLAGS_MANAGED_DICT ? memo_of(type, name_) : nullptr;
            type_ = type;
            index_ = memo && memo->in_place ? memo->index : -1;
        }
        PyObject** values = index_ >= 0 ? inline_values(o) : nullptr;
        return values ? inline_slot(values, index_) : nullptr;
    }

private:
    const Name& name_;
    PyTypeObject* type_ = nullptr;
    Py_ssize_t index_ = -1;
};

/// Whether storing each of `names` (an array of static storage) on `o` runs nothing and lets
/// nothing go: o's class, as it is now, defines none of them, they are kept among its shared
/// keys, in o's inline values, which o still has (no dict of its own), and none is set yet.
namespace detail {
/// empty_places() where the list has no memory of o's class as it is now: made, if it can be.
const StoresMemo* remember_places(PyObject* o, std::span<const Name* const> names) noexcept;
}

/// The places empty_in_place() found, in the order of `names`, for o's inline values `values`
/// (valid until the next call), or null where it is false. `values`: inline_values(o), found
/// by the caller for a class with a managed dict once the probe found them.
inline const StoresMemo* empty_places(PyObject* o, PyObject** values, std::span<const Name* const> names) noexcept {
    // Each list has one memory at most: the one of the class it was last used for.
    constexpr size_t kept = std::size(Context{}.stores_memos);
    const StoresMemo* places = context().stores_memos;
    const StoresMemo* const end = places + kept;
    while (places != end && places->site != names.data()) ++places;
    const unsigned int version = version_tag(Py_TYPE(o));
    if (places == end || places->type != Py_TYPE(o) || places->version != version || version == 0 ||
        places->count != names.size())
        return detail::remember_places(o, names);
    for (size_t i = 0; i < names.size(); i++)
        if (PyObject** slot = inline_slot(values, places->index[i]); slot == nullptr || *slot != nullptr) return nullptr;
    return places;
}

/// inline_values(o) where o's class keeps its instances' attributes there and the probe found
/// them; else null.
inline PyObject** kept_inline(PyObject* o) noexcept {
    if constexpr (!mirrors_layouts) return nullptr;
    return (Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT) && context().inline_values_known ? inline_values(o) : nullptr;
}

inline bool empty_in_place(PyObject* o, std::span<const Name* const> names) noexcept {
    PyObject** values = kept_inline(o);
    return values != nullptr && names.size() <= StoresMemo::most && empty_places(o, values, names) != nullptr;
}

/// Starts fetching the objects in `o`'s plain attributes at once, so reads do not wait one by one.
inline void prefetch_attributes(PyObject* o) noexcept {
    if (!context().inline_values_known || !(Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return;
    PyObject** values = inline_values(o);
    if (values == nullptr) return;
    for (int i = 0, count = inline_count(values); i < count; i++) __builtin_prefetch(values[inline_index_at(values, i)]);
}

/// Stores `value` in a slot instance_slot gave for `o`: a new attribute also joins the end of
/// the instance's insertion order (what vars() lists), as the interpreter's own store does.
/// False, with nothing stored, where that order has no room (the generic store then decides).
inline bool store_in_place(PyObject* o, PyObject** slot, PyObject* value) noexcept {
    if (*slot != nullptr) {
        replace_slot(slot, Ref::borrow(value));
        return true;
    }
    PyObject** values = inline_values(o);
    if (!add_to_insertion_order(values, slot - values)) return false;
    *slot = Py_NewRef(value);
    return true;
}

namespace detail {
/// memo's class attribute where `o`, an instance of its class (whose access is generic), has no
/// attribute `name` itself, as its inline values show; else null.
PyObject* unless_shadowed(PyObject* o, const Name& name, const SlotMemo* memo) noexcept;
}  // namespace detail

/// The function `o.name` finds when it is one of our functions defined by o's class and o has
/// no attribute of that name itself; null when the generic path must be taken. Calling it with
/// `o` in front is then `o.name(...)`.
inline PyObject* own_method(PyObject* o, const Name& name) noexcept {
    // The class's generic access and the function's kind are the memory's to vouch for.
    const SlotMemo* memo = memo_of(Py_TYPE(o), name);
    if (memo == nullptr || !memo->own_function) return nullptr;
    // Inline, the common case: the name is not among the class's shared keys, which gained none
    // since it was looked for there, so no instance can have it set in place.
    KeysHead* keys = memo->index == -1 ? KeysHead::of(shared_keys_of(Py_TYPE(o))) : nullptr;
    if (keys != nullptr && keys->kind == KeysHead::split && keys->nentries == memo->keys_seen && inline_values(o) != nullptr)
        return memo->class_attribute;
    return detail::unless_shadowed(o, name, memo);
}
/// The same for any Python function (not only ours) that `o.name` finds on o's class.
PyObject* plain_method(PyObject* o, const Name& name) noexcept;
/// The Python function every instance of `type` finds as `name` the generic way, where its
/// instances keep no attributes of their own (no dict); null when the generic path must be taken.
PyObject* storeless_method(PyTypeObject* type, const Name& name) noexcept;

/// Checks the layout assumptions once, on a throwaway class; without them only the C API is used.
void probe_inline_values();

}  // namespace glue
