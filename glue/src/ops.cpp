// glue/src/ops.cpp: the out-of-line operations of ops.hpp.
//
// Like the header, plain C API only.
#include "plenx_glue/ops.hpp"

namespace glue {

Ref name_tuple(std::initializer_list<const Name*> names) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const Name* name : names) check_status(PyTuple_SetItem(tuple, i++, Py_NewRef(name->get())));
    return tuple;
}

PyObject* builtin_type(const char* name) {
    Ref subclasses = call_method(reinterpret_cast<PyObject*>(&PyBaseObject_Type), Ref(text("__subclasses__")));
    for (Py_ssize_t i = 0; i < list_size(subclasses); i++) {
        PyObject* type = list_item(subclasses, i);
        if (!PyType_Check(type) || (PyType_GetFlags(reinterpret_cast<PyTypeObject*>(type)) & Py_TPFLAGS_HEAPTYPE)) continue;
        Ref module = getattr(type, Ref(text("__module__")));
        Ref found = check(PyType_GetName(reinterpret_cast<PyTypeObject*>(type)));
        if (PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "builtins") == 0 &&
            PyUnicode_CompareWithASCIIString(found, name) == 0)
            return type;  // the interpreter's types live as long as it does
    }
    raise(PyExc_SystemError, "the interpreter has no type '%s'", name);
}

namespace {
Name append_name{"append"};
}  // namespace

void append(PyObject* o, PyObject* value) {
    if (PyList_CheckExact(o)) check_status(PyList_Append(o, value));
    else call_method(o, append_name, value);
}

void raise_new(PyObject* type, PyObject* message, PyObject* cause) {
    Ref error = call(type, message);
    if (cause != nullptr) PyException_SetCause(error, Py_NewRef(cause));  // also suppresses the context
    PyErr_SetObject(type, error);  // chains the exception being handled, as `raise` does
    raise();
}

}  // namespace glue
