// glue/src/attributes.cpp: finding an attribute's place among a class's shared keys.
//
// Layouts mirrored for 3.11 to 3.13 (cpython/access.hpp), checked on a probe class at load.
#include "plenx_glue/attributes.hpp"

#include "plenx_glue/cpython/dict_tables.hpp"
#include "plenx_glue/fast.hpp"
#include "plenx_glue/lookup.hpp"

namespace glue {

namespace {

// The probe's attribute names.
Name probe_first{"_glue_probe_first"};
Name probe_second{"_glue_probe_second"};

// The names by which a class takes over its instances' attribute access.
Name getattribute_name{"__getattribute__"};
Name getattr_name{"__getattr__"};
Name setattr_name{"__setattr__"};
Name delattr_name{"__delattr__"};

/// Whether instances of `type` are read and written by object's own access, as its slots and its
/// dicts both say (the caller found that looking names up on it runs nothing). A hook set on a
/// class is in its dict before the slots of its subclasses follow, and code can run in between
/// (a key's __eq__, asked while the interpreter walks the subclasses), where a lookup may give a
/// subclass its new tag: a memory vouched for by the slot alone would outlive the update.
bool generic_access(PyTypeObject* type) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    for (const Name* name : {&getattribute_name, &setattr_name, &delattr_name})
        if (type_lookup(type, *name) != type_lookup(&PyBaseObject_Type, *name)) return false;
    return type_lookup(type, getattr_name) == nullptr;
}

KeysHead* shared_keys(PyTypeObject* type) noexcept {
    KeysHead* keys = KeysHead::of(shared_keys_of(type));
    return keys && keys->kind == KeysHead::split ? keys : nullptr;
}

/// shared_key_index() where a key is not interned: an equal string could stand there, unseen by identity.
constexpr Py_ssize_t unknown_index = -2;

/// The entry index of `name` (interned) among the class's shared keys; -1 when it has none yet,
/// unknown_index when a key is not interned (the generic lookup must then decide).
/// `seen` receives how many keys there were: they are only ever appended to.
Py_ssize_t shared_key_index(PyTypeObject* type, PyObject* name, Py_ssize_t* seen) noexcept {
    KeysHead* keys = shared_keys(type);
    *seen = keys ? keys->nentries : 0;
    if (keys == nullptr) return -1;
    UnicodeEntry* entries = keys->entries();
    // object.__setattr__ and vars(o) stores leave names uninterned: identity holds while every key is interned.
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < keys->nentries; i++) {
        PyObject* key = entries[i].key;
        if (key == name) index = i;
        else if (!PyUnicode_CheckExact(key) || !PyUnicode_CHECK_INTERNED(key)) return unknown_index;
    }
    return index;
}

}  // namespace

namespace detail {

// Out of line: it runs once per class version, and inlined it costs every caller's common path.
[[gnu::noinline]] const SlotMemo* remember(PyTypeObject* type, const Name& name) noexcept {
    // Only a lookup that runs nothing may be made here, where the interpreter's would not be (a
    // key of the host's in a class dict of the MRO answers it with code, which may also move the
    // attributes of the instance at hand); the generic path then looks it up at its own time.
    if (!lookups_run_nothing(type)) return nullptr;
    // The lookup also gives the class a version tag, if it can have one.
    PyObject* found = type_lookup(type, name);
    const unsigned int version = version_tag(type);
    if (version == 0) return nullptr;
    PyObject* holder = nullptr;
    if (found != nullptr && (holder = holder_of(type, name, found)) == nullptr) return nullptr;
    SlotMemo memo{version, false, false, false, -1, 0, found, holder, holder ? dict_version(holder) : 0};
    const bool python_function = found != nullptr && PyFunction_Check(found);
    if (context().inline_values_known && PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && generic_access(type)) {
        memo.index = shared_key_index(type, name, &memo.keys_seen);
        // What own_method() and plain_method() ask of the class, answered once per version.
        memo.own_function = found != nullptr && definition_of(found) != nullptr;
        memo.python_function = python_function;
        // Only a name the class does not define lives in the instances alone (a descriptor
        // would otherwise have a say). Not among the shared keys yet: the first instance to
        // set it adds it, and is then remembered.
        if (memo.index == unknown_index || (found == nullptr && memo.index < 0)) return nullptr;
        memo.in_place = found == nullptr;
    } else if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) && type->tp_dictoffset == 0 && generic_access(type)) {
        // Instances keep no attributes of their own: what the class finds, each of them finds.
        memo.python_function = python_function;
    }
    // The older memory makes way; a class keeps a name's index for its whole life.
    SlotMemo* slots = name.state().slots;
    slots[2] = slots[1];
    slots[1] = slots[0];
    slots[0] = memo;
    return &slots[0];
}

const SlotMemo* memo_after_first(PyTypeObject* type, const Name& name, unsigned int version) noexcept {
    if (version != 0) {
        SlotMemo* slots = name.state().slots;
        for (size_t i = 1; i < std::size(NameState{}.slots); i++)
            if (memo_holds(slots[i], version)) {
                // The class used last comes first next time.
                std::swap(slots[0], slots[i]);
                return &slots[0];
            }
    }
    return remember(type, name);
}

}  // namespace detail

PyObject* detail::unless_shadowed(PyObject* o, const Name& name, const SlotMemo* memo) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    PyObject** values = inline_values(o);
    if (values == nullptr) return nullptr;  // the instance has a dict of its own
    // A function is no data descriptor: an instance attribute of that name would win.
    if (memo->index < 0) {
        KeysHead* keys = shared_keys(type);
        if (keys == nullptr) return nullptr;
        if (keys->nentries != memo->keys_seen) {
            // Keys were added since; look again (the memory is ours to refresh).
            auto* fresh = const_cast<SlotMemo*>(memo);
            fresh->index = shared_key_index(type, name, &fresh->keys_seen);
        }
    }
    if (memo->index == unknown_index) return nullptr;
    if (memo->index >= 0) {
        PyObject** slot = inline_slot(values, memo->index);
        if (slot == nullptr || *slot != nullptr) return nullptr;
    }
    return memo->class_attribute;
}

PyObject* plain_method(PyObject* o, const Name& name) noexcept {
    PyTypeObject* type = Py_TYPE(o);
    const SlotMemo* memo = memo_of(type, name);
    if (memo == nullptr || !memo->python_function) return nullptr;
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return memo->class_attribute;  // no attributes of its own
    return detail::unless_shadowed(o, name, memo);
}

PyObject* storeless_method(PyTypeObject* type, const Name& name) noexcept {
    if (PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return nullptr;
    const SlotMemo* memo = memo_of(type, name);
    return memo && memo->python_function ? memo->class_attribute : nullptr;
}

const StoresMemo* detail::remember_places(PyObject* o, std::span<const Name* const> names) noexcept {
    if constexpr (!mirrors_layouts) return nullptr;
    PyTypeObject* type = Py_TYPE(o);
    PyObject** values = nullptr;
    if (names.size() > StoresMemo::most || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
        !context().inline_values_known || (values = inline_values(o)) == nullptr)
        return nullptr;
    const unsigned int version = version_tag(type);
    StoresMemo* memos = context().stores_memos;
    constexpr size_t kept = std::size(Context{}.stores_memos);
    // A name the class does not define, among its shared keys: no descriptor has a say in the
    // store, and the key needs no room (remember() found the class's access generic).
    StoresMemo fresh{version, type, names.data(), names.size()};
    for (size_t i = 0; i < names.size(); i++) {
        const SlotMemo* memo = memo_of(type, *names[i]);
        if (memo == nullptr || !memo->in_place || memo->index < 0) return nullptr;
        fresh.index[i] = memo->index;
    }
    // Looking the names up runs nothing, so the class is still at the version each memory found.
    if (version_tag(type) != version || version == 0) return nullptr;
    // The same list's memory (of another class or version) is replaced, so that each list has
    // one (empty_places() finds it by its list); else the oldest.
    size_t place = kept - 1;
    for (size_t m = 0; m < kept; m++)
        if (memos[m].site == names.data() || memos[m].site == nullptr) {
            place = m;
            break;
        }
    for (size_t m = place; m > 0; m--) memos[m] = memos[m - 1];
    memos[0] = fresh;
    const StoresMemo* found = &memos[0];
    for (size_t i = 0; i < names.size(); i++)
        if (PyObject** slot = inline_slot(values, found->index[i]); slot == nullptr || *slot != nullptr) return nullptr;
    return found;
}

void probe_inline_values() {
    if (!mirrors_layouts || !shortcuts() || context().inline_values_known) return;
    Ref bases = check(PyTuple_New(0));
    Ref namespace_ = check(PyDict_New());
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(text("_glue_probe")).get(), bases.get(),
                   namespace_.get());
    Ref instance = call(cls);
    Ref first = integer(123456789), second = integer(987654321);
    // Tentatively on, so that the probe's attributes are set and read the way all later ones are.
    context().inline_values_known = true;
    bool agrees = false;
    try {
        // The first instance adds both names to the class's shared keys; the second then sets
        // them in place, in the other order, which its dict must keep.
        fast::setattr(instance, probe_first, first);
        fast::setattr(instance, probe_second, second);
        Ref other = call(cls);
        PyObject** first_slot = instance_slot(other, probe_first);
        PyObject** second_slot = instance_slot(other, probe_second);
        agrees = first_slot && second_slot && !*first_slot && !*second_slot;
        if (agrees) {
            fast::setattr(other, probe_second, second);
            fast::setattr(other, probe_first, first);
            fast::setattr(other, probe_first, second);  // replaced in place
            Ref dict = check(PyObject_GenericGetDict(other, nullptr));
            Ref keys = check(PySequence_List(dict));
            agrees = PyList_GET_SIZE(keys.get()) == 2 && PyList_GET_ITEM(keys.get(), 0) == probe_second.get() &&
                     PyList_GET_ITEM(keys.get(), 1) == probe_first.get() &&
                     PyDict_GetItemWithError(dict, probe_first) == second.get() &&
                     PyDict_GetItemWithError(dict, probe_second) == second.get();
        }
        agrees = agrees && getattr(instance, probe_first.get()).get() == first.get();
    } catch (const python_error&) {
        context().inline_values_known = false;
        throw;
    }
    context().inline_values_known = agrees;
    for (const Name* name : {&probe_first, &probe_second})
        for (SlotMemo& memo : name->state().slots) memo = SlotMemo{};
}

}  // namespace glue
