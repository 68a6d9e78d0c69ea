// glue/src/klass.cpp: building classes and looking attributes up past a class in the MRO.
//
// Properties and class methods are the interpreter's own `property` and `classmethod`.
#include "plenx_glue/klass.hpp"

#include <algorithm>
#include <string_view>

#include "plenx_glue/ops.hpp"

namespace glue {

namespace {
Name module_key{"__module__"};
Name qualname_key{"__qualname__"};
Name name_key{"__name__"};
Name init_name{"__init__"};

/// A vectorcall's arguments as the tuple and dict that tp_call and tp_init take.
struct TupleAndDict {
    Ref positional, keywords;
};

TupleAndDict tuple_and_dict(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    TupleAndDict made{check(PyTuple_New(nargs)), Ref()};
    for (Py_ssize_t i = 0; i < nargs; i++) PyTuple_SET_ITEM(made.positional.get(), i, Py_NewRef(args[i]));
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        made.keywords = check(PyDict_New());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++)
            check_status(PyDict_SetItem(made.keywords, PyTuple_GET_ITEM(kwnames, i), args[nargs + i]));
    }
    return made;
}

/// `callable(...)` through its type's tp_call, counted against the recursion limit as
/// _PyObject_MakeTpCall counts it.
PyObject* call_through_slot(PyObject* callable, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            TupleAndDict call = tuple_and_dict(args, nargs, kwnames);
            if (Py_EnterRecursiveCall(" while calling a Python object")) raise();
            PyObject* result = Py_TYPE(callable)->tp_call(callable, call.positional, call.keywords);
            Py_LeaveRecursiveCall();
            if (result == nullptr && !PyErr_Occurred())
                raise(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
            return check(result).release();
        },
        static_cast<PyObject*>(nullptr));
}

/// __init__ through the class's own slot, as type_call runs it.
PyObject* init_through_slot(PyTypeObject* type, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) noexcept {
    return guarded(
        [&]() -> PyObject* {
            TupleAndDict call = tuple_and_dict(args, nargs, kwnames);
            check_status(type->tp_init(self, call.positional, call.keywords));
            return Py_None;
        },
        static_cast<PyObject*>(nullptr));
}

/// type.__call__ for our classes, without an argument tuple: object.__new__, then __init__, in
/// type_call's order (so __init__ is looked up after the instance exists). Anything unusual (a
/// replaced __new__, object's own __init__, a metaclass, abstract methods) takes the
/// interpreter's own path.
PyObject* construct(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (!Py_IS_TYPE(callable, &PyType_Type) || type->tp_new != PyBaseObject_Type.tp_new ||
        type->tp_init == PyBaseObject_Type.tp_init || PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT) ||
        total >= max_params)
        return call_through_slot(callable, args, nargs, kwnames);
    // Calling a class counts against the recursion limit as _PyObject_MakeTpCall counts it.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    // object.__new__ itself, with no arguments: it also lays out the instance's attribute storage.
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref self = no_args ? Ref::steal(PyBaseObject_Type.tp_new(type, no_args, nullptr)) : Ref();
    if (!self) return nullptr;
    PyObject* init = class_attribute(type, init_name);
    Ref result;
    if (init != nullptr && definition_of(init) != nullptr) {
        Ref keep_init = own(init);  // the class may drop it while the body runs
        PyObject* stack[max_params];
        stack[0] = self;
        std::copy(args, args + total, stack + 1);
        result = Ref::steal(PyObject_Vectorcall(init, stack, static_cast<size_t>(nargs) + 1, kwnames));
    } else {
        if (PyErr_Occurred()) return nullptr;
        result = Ref::steal(init_through_slot(type, self, args, nargs, kwnames));
    }
    if (!result) return nullptr;
    if (result.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", Py_TYPE(result.get())->tp_name);
        return nullptr;
    }
    return self.release();
}

// The comparison methods, by the operator's number (Py_LT ... Py_GE).
Name compare_names[] = {Name{"__lt__"}, Name{"__le__"}, Name{"__eq__"}, Name{"__ne__"}, Name{"__gt__"}, Name{"__ge__"}};

/// tp_richcompare for our classes: what the interpreter's own slot does (the operator's method
/// found on the class, called with both operands), with our own functions run directly.
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
    const Name& name = compare_names[op];
    PyTypeObject* type = Py_TYPE(self);
    PyObject* method = class_attribute(type, name);
    if (method == nullptr) Py_RETURN_NOTIMPLEMENTED;
    Ref keep_method = own(method);
    PyObject* args[] = {self, other};
    // The interpreter's slot adds no guard of its own here, and our comparisons reach further
    // comparisons only through guarded calls.
    if (const FunctionDef* def = definition_of(method); def && def->params.size() == 2)
        return guarded([&] { return invoke_from_own_code(method, args).release(); }, static_cast<PyObject*>(nullptr));
    if (PyType_HasFeature(Py_TYPE(method), Py_TPFLAGS_METHOD_DESCRIPTOR)) return PyObject_Vectorcall(method, args, 2, nullptr);
    Ref bound = keep_method;
    if (descrgetfunc get = Py_TYPE(method)->tp_descr_get) {
        bound = Ref::steal(get(method, self, reinterpret_cast<PyObject*>(type)));
        // The interpreter's slot treats a method that cannot be bound as no method at all.
        if (!bound) {
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyObject_Vectorcall(bound, &other, 1, nullptr);
}

// Whether a property object keeps its getter where property_fget reads it (the probe agreed).
bool property_layout_known = false;

/// The key a class statement stores `name` under: private names (`__x`) are mangled.
Ref class_key(const char* class_name, const char* name) {
    const std::string_view n(name);
    if (n.size() > 2 && n.starts_with("__") && !n.ends_with("__")) {
        std::string_view owner(class_name);
        owner.remove_prefix(std::min(owner.find_first_not_of('_'), owner.size()));
        // `owner` is a suffix of `class_name`, so it is NUL-terminated (3.11 has no "%.*s" here).
        if (!owner.empty()) return check(PyUnicode_FromFormat("_%s%s", owner.data(), name));
    }
    return text(name);
}

}  // namespace

Ref make_class(PyObject* globals, const char* name, PyObject* bases, std::span<const Member> members) {
    Ref namespace_ = check(PyDict_New());
    Ref module = global(globals, name_key);
    check_status(PyDict_SetItem(namespace_, module_key, module));
    check_status(PyDict_SetItem(namespace_, qualname_key, Ref(text(name))));
    Ref functions = check(PyList_New(0));
    for (const Member& member : members) {
        Ref function = make_function(*member.def, globals, name);
        check_status(PyList_Append(functions, function));
        Ref entry;
        switch (member.kind) {
            case Member::property: entry = call(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get()); break;
            case Member::class_method: entry = check(PyClassMethod_New(function)); break;
            default: entry = function;
        }
        check_status(PyDict_SetItem(namespace_, class_key(name, member.def->name), entry));
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(text(name)).get(), bases, namespace_.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(functions.get()); i++) set_owner(PyList_GET_ITEM(functions.get(), i), cls);
    if (!shortcuts()) return cls;
    // Only this class: subclasses made by host code do not inherit it and take the usual path.
    auto* type = reinterpret_cast<PyTypeObject*>(cls.get());
    type->tp_vectorcall = construct;
    // Only while the interpreter's own comparison slot is there: assigning a comparison method
    // to the class later puts it back.
    if (type->tp_richcompare != PyBaseObject_Type.tp_richcompare) type->tp_richcompare = richcompare;
    return cls;
}

void probe_property_layout() {
    if (property_layout_known || !shortcuts()) return;
    Ref probe_getter = getattr(reinterpret_cast<PyObject*>(&PyBaseObject_Type), Ref(text("__repr__")));
    Ref probe = call(reinterpret_cast<PyObject*>(&PyProperty_Type), probe_getter.get());
    Ref fget = getattr(probe, Ref(text("fget")));
    property_layout_known = fget.get() == probe_getter.get() && property_fget(probe) == probe_getter.get();
}

/// The getter to run directly for `obj.name`, when that is a property over one of our functions.
PyObject* direct_getter(PyObject* obj, const SlotMemo* memo, const Name& name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (!property_layout_known || type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* descriptor = memo ? memo->class_attribute : type_lookup(type, name);
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyProperty_Type)) return nullptr;
    PyObject* getter = property_fget(descriptor);
    const FunctionDef* def = getter ? definition_of(getter) : nullptr;
    return def && def->params.size() == 1 ? getter : nullptr;
}

/// What `obj.name` is without the generic lookup: a plain attribute's value (borrowed) or our
/// property getter to run; both null when the generic path must be taken.
struct Shortcut {
    PyObject* value = nullptr;
    PyObject* getter = nullptr;
};

Shortcut shortcut(PyObject* obj, const Name& name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    const SlotMemo* memo = memo_of(type, name);
    if (memo && memo->in_place && (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        PyObject** values = inline_values(obj);
        return {values ? values[memo->index] : nullptr, nullptr};
    }
    return {nullptr, direct_getter(obj, memo, name)};
}

PyObject* peek_property(PyObject* obj, const Name& name) noexcept {
    const Shortcut found = shortcut(obj, name);
    if (found.value) return found.value;
    const FunctionDef* def = found.getter ? definition_of(found.getter) : nullptr;
    return def && def->peek ? def->peek(obj) : nullptr;
}

Ref get_property(PyObject* obj, const Name& name) {
    const Shortcut found = shortcut(obj, name);
    if (found.value) return own(found.value);
    if (found.getter) {
        Ref keep_getter = own(found.getter);  // the class may drop it while the body runs
        return invoke_from_own_code(found.getter, &obj);
    }
    return getattr(obj, name.get());
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
    return lookup_attr(obj, name.get());
}

Ref super_lookup(PyObject* owner, PyObject* self, const Name& name) {
    PyTypeObject* type = Py_TYPE(self);
    const unsigned int version = version_tag(type);
    for (const SuperMemo& memo : name.supers)
        if (version != 0 && memo.version == version && memo.owner == owner &&
            dict_version(memo.holder) == memo.holder_version)
            return own(memo.found);
    PyObject* mro = type->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != owner) i++;
    if (i == n) raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    for (i++; i < n; i++) {
        PyObject* dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        PyObject* found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (found != nullptr) {
            // Only a dict lookup that ran no code of the host's can be trusted to stay.
            if (version != 0 && version == version_tag(type) && shortcuts()) {
                name.supers[1] = name.supers[0];
                name.supers[0] = SuperMemo{version, owner, found, dict, dict_version(dict)};
            }
            return own(found);
        }
        if (PyErr_Occurred()) raise();
    }
    raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name.get());
}

SuperMethod::SuperMethod(PyObject* owner, PyObject* self, const Name& name) : attribute_(super_lookup(owner, self, name)) {
    // Functions are called with self in front; anything else is bound the way super() binds it.
    if (PyType_HasFeature(Py_TYPE(attribute_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        self_ = self;
    } else if (descrgetfunc get = Py_TYPE(attribute_.get())->tp_descr_get) {
        attribute_ = check(get(attribute_, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    }
}

}  // namespace glue
