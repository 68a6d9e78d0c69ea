// glue/src/lookup.cpp: remembered lookups of globals, module attributes and class attributes.
//
// Only what a lookup read without running any code is remembered; anything else is asked again.
#include "plenx_glue/lookup.hpp"

#include "plenx_glue/attributes.hpp"
#include "plenx_glue/cpython/dict_tables.hpp"
#include "plenx_glue/dicts.hpp"
#include "plenx_glue/function.hpp"
#include "plenx_glue/ops.hpp"

namespace glue {

namespace {

Name getattribute_name{"__getattribute__"};

/// Whether a class of metaclass `meta` is looked up by type's own lookup (no __getattribute__ of its own).
/// Asked of the dicts, not of the slot: a __getattribute__ set on a metaclass is in its dict before
/// the slots of its subclasses follow, and code run in between (a key's __eq__, asked while the
/// interpreter walks them) may see a subclass with its new tag and its old slot. A slot left
/// behind the other way (a hook deleted) finds type's own in the dict and runs it.
bool plain_class_lookup(PyTypeObject* meta) noexcept {
    PyObject* types_own = type_lookup(&PyType_Type, getattribute_name);
    return types_own != nullptr && type_lookup(meta, getattribute_name) == types_own;
}

}  // namespace

PyObject* holder_of(PyTypeObject* type, PyObject* name, PyObject* value) noexcept {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        PyObject* found = nullptr;
        if (dict == nullptr || !lookup_without_code(dict, name, &found)) return nullptr;
        if (found != nullptr) return found == value ? dict : nullptr;
    }
    return nullptr;
}

void Lookup::remember(PyObject* owner, PyObject* dict, PyObject* value) const noexcept {
    LookupMemo& m = state().lookup;
    m.owner = owner;
    m.dict = dict;
    m.version = dict_version(dict);
    m.value = value;
    const bool is_class = PyType_Check(owner);
    m.tag = is_class ? version_tag(reinterpret_cast<PyTypeObject*>(owner)) : 0;
    m.meta_tag = is_class ? version_tag(Py_TYPE(owner)) : 0;
    if (is_class && (m.tag == 0 || m.meta_tag == 0)) m.owner = nullptr;  // no tag, no way to see a change
}

Ref Lookup::lookup_global(PyObject* globals, PyObject* builtins) const {
    // A key of the host's among the globals (a str subclass) answers each lookup with its own
    // __eq__, as LOAD_GLOBAL asks it every time: such a lookup is not remembered.
    PyObject* value = nullptr;
    if (shortcuts() && lookup_without_code(globals, get(), &value) && value != nullptr) {
        remember(globals, globals, value);
        return Ref::borrow(value);
    }
    return glue::global(globals, builtins, get());
}

PyObject* Lookup::find_plainly(PyObject* owner) const {
    if (Py_IS_TYPE(owner, &PyModule_Type)) {
        // module.name is the module dict's entry unless ModuleType itself has that name.
        if (type_lookup(&PyModule_Type, get()) != nullptr) return nullptr;
        PyObject* dict = PyModule_GetDict(owner);
        PyObject* found = nullptr;
        if (!lookup_without_code(dict, get(), &found) || found == nullptr) return nullptr;
        remember(owner, dict, found);
        return found;
    }
    if (!PyType_Check(owner)) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(owner);
    PyTypeObject* meta = Py_TYPE(owner);
    // type_getattro: the metaclass's attribute of that name would come first.
    if (!plain_class_lookup(meta) || type_lookup(meta, get()) != nullptr) return nullptr;
    PyObject* found = type_lookup(type, get());
    // A descriptor's __get__ would run and could answer differently each time.
    if (found == nullptr || Py_TYPE(found)->tp_descr_get != nullptr) return nullptr;
    if (PyObject* holder = holder_of(type, get(), found)) remember(owner, holder, found);
    return found;
}

Ref Lookup::lookup_attribute(PyObject* owner) const {
    // A class is answered inline (attribute()); a module here.
    const LookupMemo& m = state().lookup;
    if (owner == m.owner && Py_IS_TYPE(owner, &PyModule_Type) && m.tag == 0 && PyModule_GetDict(owner) == m.dict &&
        dict_version(m.dict) == m.version)
        return Ref::borrow(m.value);
    if (PyObject* found = find_plainly(owner)) return Ref::borrow(found);
    return getattr(owner, get());
}

Py_ssize_t InstancePlaces::shared_key_count(PyTypeObject* type) noexcept {
    KeysHead* keys = KeysHead::of(shared_keys_of(type));
    return keys && keys->kind == KeysHead::split ? keys->nentries : -1;
}

bool InstancePlaces::find_and_remember(PyObject* o, std::span<const Name* const> methods,
                                       std::span<const Name* const> attributes, PyObject** found_methods,
                                       PyObject** found_values) noexcept {
    if (find(o, methods, attributes, found_methods, found_values)) return true;
    if (methods.size() > most || attributes.size() != methods.size()) return false;
    for (size_t i = 0; i < methods.size(); i++) {
        found_methods[i] = plain_method(o, *methods[i]);
        PyObject** slot = found_methods[i] ? instance_slot(o, *attributes[i]) : nullptr;
        if (slot == nullptr || (found_values[i] = *slot) == nullptr) return false;
    }
    // What the memories behind those answers say, taken together while nothing has run since.
    PyTypeObject* type = Py_TYPE(o);
    const unsigned int version = version_tag(type);
    const Py_ssize_t keys_now = shared_key_count(type);
    InstancePlaces fresh;
    fresh.type_ = type;
    fresh.methods_site_ = methods.data();
    fresh.attributes_site_ = attributes.data();
    fresh.version_ = version;
    fresh.count_ = methods.size();
    fresh.keys_seen_ = keys_now;
    for (size_t i = 0; i < methods.size(); i++) {
        const SlotMemo* method = memo_of(type, *methods[i]);
        const SlotMemo* attribute = memo_of(type, *attributes[i]);
        if (version == 0 || keys_now < 0 || !PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT) || method == nullptr ||
            attribute == nullptr || method->version != version || attribute->version != version ||
            !method->python_function || method->class_attribute != found_methods[i] || method->index < -1 ||
            (method->index == -1 && method->keys_seen != keys_now) || !attribute->in_place || attribute->index < 0)
            return true;  // answered, not remembered
        fresh.keys_watched_ = fresh.keys_watched_ || method->index == -1;
        fresh.methods_[i] = method->class_attribute;
        fresh.method_index_[i] = method->index;
        fresh.attribute_index_[i] = attribute->index;
        fresh.holders_[2 * i] = method->holder;
        fresh.holder_versions_[2 * i] = method->holder_version;
        fresh.holders_[2 * i + 1] = attribute->holder;
        fresh.holder_versions_[2 * i + 1] = attribute->holder_version;
    }
    *this = fresh;
    return true;
}

}  // namespace glue
