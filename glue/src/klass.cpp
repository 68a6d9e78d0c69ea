// glue/src/klass.cpp: building classes and looking attributes up past a class in the MRO.
//
// Properties and class methods are the interpreter's own `property` and `classmethod`.
#include "plenx_glue/klass.hpp"

#include "plenx_glue/ops.hpp"

namespace glue {

namespace {
Name module_key{"__module__"};
Name qualname_key{"__qualname__"};
Name name_key{"__name__"};
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
        check_status(PyDict_SetItemString(namespace_, member.def->name, entry));
    }
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), Ref(text(name)).get(), bases, namespace_.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(functions.get()); i++) set_owner(PyList_GET_ITEM(functions.get(), i), cls);
    return cls;
}

Ref super_lookup(PyObject* owner, PyObject* self, PyObject* name) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != owner) i++;
    if (i == n) raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    for (i++; i < n; i++) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        PyObject* found = dict ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (found != nullptr) return own(found);
        if (PyErr_Occurred()) raise();
    }
    raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
}

SuperMethod::SuperMethod(PyObject* owner, PyObject* self, PyObject* name) : attribute_(super_lookup(owner, self, name)) {
    // Functions are called with self in front; anything else is bound the way super() binds it.
    if (PyType_HasFeature(Py_TYPE(attribute_.get()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        self_ = self;
    } else if (descrgetfunc get = Py_TYPE(attribute_.get())->tp_descr_get) {
        attribute_ = check(get(attribute_, self, reinterpret_cast<PyObject*>(Py_TYPE(self))));
    }
}

}  // namespace glue
