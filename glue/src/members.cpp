// glue/src/members.cpp: the members of our classes read without the generic lookup.
//
// Our property getters run directly; super() lookups are remembered while the MRO is unchanged.
#include "plenx_glue/fast.hpp"

#include <algorithm>
#include <iterator>
#include <span>

namespace glue::fast {

void probe_property_layout() {
    // Whether a property object keeps its getter where property_fget reads it.
    bool& property_layout_known = context().property_layout_known;
    if (property_layout_known || !shortcuts()) return;
    Ref probe_getter = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), Ref(text("__repr__")));
    Ref probe = call(reinterpret_cast<PyObject*>(&PyProperty_Type), probe_getter.get());
    Ref fget = getattr(probe, Ref(text("fget")));
    property_layout_known = fget.get() == probe_getter.get() && property_fget(probe) == probe_getter.get();
}

namespace {

/// The getter to run directly for `obj.name`, when that is a property over one of our functions.
PyObject* direct_getter(PyObject* obj, const SlotMemo* memo, const Name& name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!context().property_layout_known || type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* descriptor = memo ? memo->class_attribute : type_lookup(type, name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyProperty_Type)) return nullptr;
    PyObject* getter = property_fget(descriptor);
    const FunctionDef* def = getter ? definition_of(getter) : nullptr;
    return def && def->params.size() == 1 ? getter : nullptr;
}

/// `obj.name` without the generic lookup: a plain attribute's value or our getter; both null: generic.
struct Shortcut {
    PyObject* value = nullptr;
    PyObject* getter = nullptr;
};

Shortcut shortcut(PyObject* obj, const Name& name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    const SlotMemo* memo = memo_of(type, name);
    if (memo && memo->in_place && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        PyObject** values = inline_values(obj);
        PyObject** slot = values ? inline_slot(values, memo->index) : nullptr;
        return {slot ? *slot : nullptr, nullptr};
    }
    return {nullptr, direct_getter(obj, memo, name)};
}

}  // namespace

PyObject* peek_property(PyObject* obj, const Name& name) noexcept {
    const Shortcut found = shortcut(obj, name);
    if (found.value) return found.value;
    // A getter the collector has cleared raises when called.
    const FunctionDef* def = found.getter && globals_of(found.getter) ? definition_of(found.getter) : nullptr;
    return def && def->peek ? def->peek(obj) : nullptr;
}

bool peek_properties(PyObject* a, PyObject* b, const Name& name, PyObject** x, PyObject** y) noexcept {
    PyTypeObject* type = Py_TYPE(a);
    if (Py_TYPE(b) != type) return (*x = peek_property(a, name)) && (*y = peek_property(b, name));
    const SlotMemo* memo = memo_of(type, name);
    if (memo && memo->in_place && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        PyObject** values_a = inline_values(a);
        PyObject** values_b = inline_values(b);
        PyObject** slot_a = values_a ? inline_slot(values_a, memo->index) : nullptr;
        PyObject** slot_b = values_b ? inline_slot(values_b, memo->index) : nullptr;
        return slot_a && slot_b && (*x = *slot_a) && (*y = *slot_b);
    }
    PyObject* getter = direct_getter(a, memo, name);
    const Peek peek = getter && globals_of(getter) ? definition_of(getter)->peek : nullptr;
    return peek && (*x = peek(a)) && (*y = peek(b));
}

bool find_key_places(PyTypeObject* type, std::span<const Name* const> keys, KeysMemo& found) noexcept {
    if (keys.empty() || keys.size() > KeysMemo::most || !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) ||
        !context().property_layout_known || type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    for (size_t i = 0; i < keys.size(); i++) {
        const SlotMemo* memo = memo_of(type, *keys[i]);
        if (memo == nullptr) return false;
        if (memo->in_place) {
            found.keys[i] = KeysMemo::Key{memo->index};
            continue;
        }
        PyObject* property = memo->class_attribute;
        if (property == nullptr || !Py_IS_TYPE(property, &PyProperty_Type) || memo->holder == nullptr) return false;
        PyObject* getter = property_fget(property);
        // A getter the collector has cleared raises when called (the memory is forgotten when one is).
        const FunctionDef* def = getter && globals_of(getter) ? definition_of(getter) : nullptr;
        if (def == nullptr || def->params.size() != 1 || def->peek_reads == nullptr || def->peek_value == nullptr)
            return false;
        const SlotMemo* read = memo_of(type, *def->peek_reads);
        if (read == nullptr || !read->in_place) return false;
        found.keys[i] = KeysMemo::Key{read->index, def, property, memo->holder, memo->holder_version};
    }
    // Looking the names up runs nothing, so the class is still as each memory found it.
    found.version = version_tag(type);
    found.type = type;
    found.site = keys.data();
    found.count = keys.size();
    return found.version != 0;
}

bool find_places(PyTypeObject* type, std::span<const Name* const> names, Place* found) noexcept {
    // As peek_property finds them: a plain attribute in the inline values, or our getter's peek.
    if (!(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) || !context().inline_values_known ||
        !context().property_layout_known || type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    for (size_t i = 0; i < names.size(); i++) {
        const SlotMemo* memo = memo_of(type, *names[i]);
        if (memo == nullptr) return false;
        if (memo->in_place) {
            found[i] = Place{memo->index};
            continue;
        }
        PyObject* property = memo->class_attribute;
        if (property == nullptr || !Py_IS_TYPE(property, &PyProperty_Type) || memo->holder == nullptr) return false;
        PyObject* getter = property_fget(property);
        const FunctionDef* def = getter && globals_of(getter) ? definition_of(getter) : nullptr;
        if (def == nullptr || def->params.size() != 1 || def->peek == nullptr) return false;
        found[i] = Place{-1, property, def, memo->holder, memo->holder_version};
    }
    return true;
}

const KeysMemo* KeyReader::keys_memo(PyTypeObject* type, std::span<const Name* const> keys) noexcept {
    const unsigned int version = version_tag(type);
    if (version == 0) return nullptr;
    KeysMemo* memos = context().keys_memos;
    constexpr size_t kept = std::size(decltype(Context::keys_memos){});
    for (size_t m = 0; m < kept; m++)
        if (memos[m].site == keys.data() && memos[m].version == version && memos[m].type == type) return &memos[m];
    KeysMemo fresh;
    if (!find_key_places(type, keys, fresh)) return nullptr;
    std::copy_backward(memos, memos + kept - 1, memos + kept);
    memos[0] = fresh;
    return &memos[0];
}

Ref get_property(PyObject* obj, const Name& name) {
    const Shortcut found = shortcut(obj, name);
    if (found.value) return own(found.value);
    if (found.getter) {
        Ref keep_getter = own(found.getter);  // the class may drop it while the body runs
        return invoke_from_own_code(found.getter, &obj);
    }
    return glue::getattr(obj, name.get());
}

Ref lookup_property(PyObject* obj, const Name& name) {
    const Shortcut found = shortcut(obj, name);
    if (found.value) return own(found.value);
    if (found.getter) {
        Ref keep_getter = own(found.getter);
        try {
            return invoke_from_own_code(found.getter, &obj);
        } catch (const python_error&) {
            if (!pending_is(PyExc_AttributeError)) throw;
            PyErr_Clear();
            return Ref();
        }
    }
    return glue::lookup_attr(obj, name.get());
}

namespace {

Name class_key{"__class__"};

/// super()'s check of its object (supercheck): the class whose MRO is searched. That is `self`
/// for a subclass of `owner` (class-method use), else type(self), else `self.__class__` when a
/// proxy's answers so; otherwise TypeError, worded as the running interpreter words it.
PyTypeObject* super_start(PyObject* owner, PyObject* self, Ref& keep) {
    auto* type = reinterpret_cast<PyTypeObject*>(owner);
    if (PyType_Check(self) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(self), type))
        return reinterpret_cast<PyTypeObject*>(self);
    if (PyType_IsSubtype(Py_TYPE(self), type)) return Py_TYPE(self);
    keep = lookup_attr(self, class_key);
    if (keep && PyType_Check(keep) && keep.get() != reinterpret_cast<PyObject*>(Py_TYPE(self)) &&
        PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(keep.get()), type))
        return reinterpret_cast<PyTypeObject*>(keep.get());
    if (Py_Version < 0x030D0000) raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    const bool is_type = PyType_Check(self);
    raise(PyExc_TypeError, "super(type, obj): obj (%s %.200s) is not an instance or subtype of type (%.200s).",
          is_type ? "type" : "instance of",
          is_type ? reinterpret_cast<PyTypeObject*>(self)->tp_name : Py_TYPE(self)->tp_name, type->tp_name);
}

/// Finds `name` as `super(owner, self).name` does, in the MRO super() searches after `owner`,
/// remembered while no class of it changes: the raw class attribute, and in `start` the class whose
/// MRO was searched (what super() binds with). Raises as super() does.
Ref super_lookup(PyObject* owner, PyObject* self, const Name& name, PyTypeObject** start) {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = version_tag(type);
    SuperMemo* supers = name.state().supers;
    for (const SuperMemo& memo : std::span(supers, 2))
        if (version != 0 && memo.version == version && memo.owner == owner &&
            dict_version(memo.holder) == memo.holder_version) {
            *start = type;
            return own(memo.found);
        }
    Ref keep_start;
    *start = super_start(owner, self, keep_start);
    // Only the usual case is remembered: the class of self itself, whose tag covers its MRO.
    const bool rememberable = *start == type;
    // Held for the search: a lookup below may run code that replaces the MRO.
    Ref mro = own((*start)->tp_mro);
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
    // As super() does: the last class (object) is never taken for `owner`.
    Py_ssize_t i = 0;
    while (i + 1 < n && PyTuple_GET_ITEM(mro.get(), i) != owner) i++;
    for (i++; i < n; i++) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)));
        PyObject* found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (found != nullptr) {
            // Only a dict lookup that ran no code of the host's can be trusted to stay.
            if (rememberable && version != 0 && version == version_tag(type) && shortcuts()) {
                supers[1] = supers[0];
                supers[0] = SuperMemo{version, owner, found, dict, dict_version(dict)};
            }
            return own(found);
        }
        if (PyErr_Occurred()) raise();
    }
    raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name.get());
}

}  // namespace

SuperMethod::SuperMethod(PyObject* owner, PyObject* self, const Name& name) {
    PyTypeObject* start = nullptr;
    attribute_ = super_lookup(owner, self, name, &start);
    // Used on a class itself, super() binds to no instance (class-method use).
    PyObject* instance = self == reinterpret_cast<PyObject*>(start) ? nullptr : self;
    // Functions are called with self in front; anything else is bound the way super() binds it.
    if (instance && PyType_HasFeature(Py_TYPE(attribute_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        self_ = self;
    } else if (descrgetfunc get = Py_TYPE(attribute_.get())->tp_descr_get) {
        attribute_ = check(get(attribute_, instance, reinterpret_cast<PyObject*>(start)));
    }
}

}  // namespace glue::fast
