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

#if !PLENX_FAST_LAYER
namespace {
/// A heap type's tp_name: a class's is its __name__, but a type made by PyType_FromSpec keeps the
/// dotted name its PyType_Spec gives ("functools.partial"), which the Limited API has no reader
/// for. The interpreter's refusal of `NoneType.__new__(type)` prints it in full and runs no code
/// of the type's.
Ref heap_type_name(PyTypeObject* type) {
    Ref name = check(PyType_GetName(type));
    Ref new_ = getattr(reinterpret_cast<PyObject*>(Py_TYPE(Py_None)), Ref(text("__new__")));
    PyObject* args[] = {reinterpret_cast<PyObject*>(type)};
    Ref made = Ref::steal(PyObject_Vectorcall(new_, args, 1, nullptr));
    if (made || !pending_is(PyExc_TypeError)) {
        if (!made) raise();
        return name;  // no heap type is NoneType's subtype; should one be, its __name__ stands
    }
    Ref message = check(PyObject_Str(fetch_error()));
    const char head[] = "NoneType.__new__(", tail[] = " is not a subtype of NoneType";
    const Py_ssize_t size = (PyUnicode_GetLength(message) - (sizeof head - 1) - 3 - (sizeof tail - 1)) / 2;
    if (size <= 0) return name;
    Ref found = check(PyUnicode_Substring(message, sizeof head - 1, sizeof head - 1 + size));
    // The message is "NoneType.__new__(N): N is not a subtype of NoneType"; any other wording
    // leaves the __name__.
    Ref expected = check(PyUnicode_FromFormat("%s%U): %U%s", head, found.get(), found.get(), tail));
    const int same = PyUnicode_Compare(expected, message);
    if (same == -1 && PyErr_Occurred()) raise();
    return same == 0 ? found : name;
}
}  // namespace
#endif

Ref type_name(PyTypeObject* type) {
#if PLENX_FAST_LAYER
    return text(type->tp_name);
#else
    // The interpreter's own static types carry "module.name", but for builtins the name alone.
    if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return heap_type_name(type);
    Ref name = check(PyType_GetName(type));
    Ref module = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__module__")));
    if (!PyUnicode_Check(module) || PyUnicode_CompareWithASCIIString(module, "builtins") == 0) return name;
    return check(PyUnicode_FromFormat("%U.%U", module.get(), name.get()));
#endif
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
