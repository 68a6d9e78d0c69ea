// glue/src/ops.cpp: the out-of-line operations of ops.hpp.
//
// Like the header, plain C API only.
#include "plenx_glue/ops.hpp"

namespace glue {

Ref name_tuple(std::initializer_list<const Name*> names) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const Name* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(name->get()));
    return tuple;
}

namespace {
Name append_name{"append"};
}  // namespace

void append(PyObject* o, PyObject* value) {
    if (PyList_CheckExact(o)) {
        check_status(PyList_Append(o, value));
        return;
    }
    call_method(o, append_name, value);
}

void raise_new(PyObject* type, PyObject* message, PyObject* cause) {
    Ref error = call(type, message);
    if (cause != nullptr) PyException_SetCause(error, Py_NewRef(cause));  // also suppresses the context
    PyErr_SetObject(type, error);  // chains the exception being handled, as `raise` does
    raise();
}

}  // namespace glue
