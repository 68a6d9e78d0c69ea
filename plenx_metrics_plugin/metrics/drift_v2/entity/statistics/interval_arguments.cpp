// interval_arguments.cpp: the refusal of an argument whose type is not the one declared.
//
// Worded with the C-level type names the interpreter prints, in the fast and the stable-ABI build.
#include "interval.hpp"

namespace interval {

using namespace glue;

namespace {

#if !PLENX_FAST_LAYER
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
#endif

/// The C-level name of a type (tp_name), as the interpreter's argument checks print it.
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

}  // namespace

void wrong_argument_type(PyObject* value, PyTypeObject* expected, const char* argument) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200U, got %.200U)", argument,
          type_name(expected).get(), type_name(Py_TYPE(value)).get());
}

}  // namespace interval
