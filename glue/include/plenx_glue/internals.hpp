// plenx_glue/internals.hpp: the reads of the interpreter's own structures that the glue does inline.
//
// Each accessor names the CPython field it mirrors. Those that only hold for one interpreter
// layout are used behind the load-time probes of attributes.cpp and dicts.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace glue {

/// PyDictObject.ma_version_tag: it changes with every change of the dict, before any value the
/// dict held is released, and no two dicts ever carry the same one. So while it is unchanged the
/// dict still holds (and keeps alive) every value read from it.
inline uint64_t dict_version(PyObject* dict) noexcept { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

/// PyTypeObject.tp_version_tag when Py_TPFLAGS_VALID_VERSION_TAG says it is valid, else 0. A class
/// changed through its setattr gets a new one; tags are never reused.
inline unsigned int version_tag(PyTypeObject* type) noexcept {
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

/// 3.11 (_PyObject_ValuesPointer): an instance of a class with a managed dict keeps its
/// attribute values in an array behind a pointer four words before the object; null once the
/// instance has a dict of its own.
inline PyObject** inline_values(PyObject* o) noexcept { return reinterpret_cast<PyObject***>(o)[-4]; }

/// 3.11 (_PyDictValues): the bytes before the values hold [-1] the prefix size, [-2] the count
/// of attributes set, and before those their indices in the order they were set.
inline uint8_t* insertion_order(PyObject** values) noexcept { return reinterpret_cast<uint8_t*>(values); }

/// 3.11 (PyLongObject.ob_digit): the value of an exact int of at most one digit.
inline long one_digit_value(PyObject* exact_int) noexcept {
    return Py_SIZE(exact_int) * static_cast<long>(reinterpret_cast<PyLongObject*>(exact_int)->ob_digit[0]);
}

}  // namespace glue

namespace glue {

/// PyFunctionObject.func_builtins: the builtins dict a Python function reads, fixed when the
/// function was made.
inline PyObject* function_builtins(PyObject* function) noexcept {
    return reinterpret_cast<PyFunctionObject*>(function)->func_builtins;
}

}  // namespace glue
