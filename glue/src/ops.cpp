// glue/src/ops.cpp: the out-of-line operations of ops.hpp.
//
// Comparisons take shortcuts only where the interpreter would reach the same answer.
#include "plenx_glue/ops.hpp"

namespace glue {

Ref keyword_names(std::initializer_list<const Name*> names) {
    Ref tuple = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const Name* name : names) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(name->get()));
    return tuple;
}

namespace {

Name append_name{"append"};

}  // namespace

Ref compare(PyObject* a, PyObject* b, int op) {
    if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b))
        return boolean(apply_comparison(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b), op));
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b)) {
        long x, y;
        if (small_int(a, &x) && small_int(b, &y)) return boolean(apply_comparison(x, y, op));
    }
    return check(PyObject_RichCompare(a, b, op));
}

bool equals(PyObject* a, PyObject* b) {
    // Types that keep object's own equality compare by identity, whichever side is asked first.
    const richcmpfunc identity = PyBaseObject_Type.tp_richcompare;
    if (Py_TYPE(a)->tp_richcompare == identity && Py_TYPE(b)->tp_richcompare == identity) return a == b;
    Ref result = compare(a, b, Py_EQ);
    return truthy(result);
}

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
