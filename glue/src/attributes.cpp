// glue/src/attributes.cpp: finding an attribute's place among a class's shared keys.
//
// The layout mirrored here is CPython 3.11's; any other interpreter keeps to the generic C API.
#include "plenx_glue/attributes.hpp"

#include <cstdint>

#include "plenx_glue/ops.hpp"

namespace glue {

namespace detail {
bool inline_values_known = false;
}  // namespace detail

namespace {

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
constexpr bool layout_mirrored = true;
#else
constexpr bool layout_mirrored = false;
#endif

/// The head of a dict's keys table, as 3.11 lays it out; a class's shared keys are one.
struct KeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[];
};
struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};
constexpr uint8_t split_keys = 2;

/// The entry index of `name` among the class's shared keys; -1 when it has none yet.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name) noexcept {
    auto* keys = reinterpret_cast<KeysHead*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    if (keys == nullptr || keys->kind != split_keys) return -1;
    auto* entries = reinterpret_cast<UnicodeEntry*>(keys->indices + (size_t{1} << keys->log2_index_bytes));
    // Attribute names are interned when stored, so identity finds them.
    for (Py_ssize_t i = 0; i < keys->nentries; i++)
        if (entries[i].key == name) return i;
    return -1;
}

}  // namespace

namespace detail {

const SlotMemo* remember(PyTypeObject* type, const Name& name) noexcept {
    // The lookup also gives the class a version tag, if it can have one.
    PyObject* found = _PyType_Lookup(type, name);
    const unsigned int version = PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    if (version == 0) return nullptr;
    Py_ssize_t index = -1;
    // Only a name the class does not define can live in the instances (a descriptor wins
    // otherwise), and only under the generic attribute protocol.
    if (found == nullptr && inline_values_known && PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) &&
        type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr) {
        index = shared_key_index(type, name);
        // Not among the shared keys yet: the first instance to set it will add it.
        if (index < 0) return nullptr;
    }
    // The older memory makes way; a class keeps a name's index for its whole life.
    name.slots[1] = name.slots[0];
    name.slots[0] = SlotMemo{version, index, found};
    return &name.slots[0];
}

}  // namespace detail

void probe_inline_values() {
    if (!layout_mirrored || detail::inline_values_known) return;
    static Name probe_first{"_glue_probe_first"};
    static Name probe_second{"_glue_probe_second"};
    intern_names();
    Ref bases = check(PyTuple_New(0));
    Ref namespace_ = check(PyDict_New());
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(text("_glue_probe")).get(), bases.get(),
                   namespace_.get());
    Ref instance = call(cls);
    Ref first = integer(123456789), second = integer(987654321);
    // Tentatively on, so that the probe's attributes are set and read the way all later ones are.
    detail::inline_values_known = true;
    bool agrees = false;
    try {
        setattr(instance, probe_first, first);
        setattr(instance, probe_second, second);
        PyObject** first_slot = instance_slot(instance, probe_first);
        PyObject** second_slot = instance_slot(instance, probe_second);
        agrees = first_slot && second_slot && *first_slot == first.get() && *second_slot == second.get();
        // A value replaced in place must be what the interpreter then reads.
        if (agrees) setattr(instance, probe_first, second);
        agrees = agrees && getattr(instance, probe_first.get()).get() == second.get();
    } catch (const python_error&) {
        detail::inline_values_known = false;
        throw;
    }
    detail::inline_values_known = agrees;
    probe_first.slots[0] = probe_first.slots[1] = probe_second.slots[0] = probe_second.slots[1] = SlotMemo{};
}

}  // namespace glue
