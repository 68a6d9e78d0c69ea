// interval_trust.cpp: telling the genuine originals from whatever stands under their names.
//
// Native work may stand in for numpy's absolute, the standard uuid4 and the package's value
// helpers only. Each is recognised by what it is, never by having been there at import.
#include "interval.hpp"

#include <plenx_glue/dicts.hpp>

#include <cstring>
#include <string>
#include <string_view>

#if PLENX_FAST_LAYER  // the stable-ABI build stands in for nothing, so trusts nothing

namespace interval::trust {

using namespace glue;

Ref entry(PyObject* dict, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    PyObject* found = nullptr;
    if (!key || !PyDict_Check(dict) || !lookup_without_code(dict, key, &found)) found = nullptr;
    PyErr_Clear();
    // Held: what the load allocates next can run a finaliser that rebinds the name.
    return Ref::borrow(found);
}

Ref module_entry(PyObject* module, const char* name) noexcept {
    return PyModule_CheckExact(module) ? entry(PyModule_GetDict(module), name) : Ref();
}

bool static_type_named(PyObject* value, const char* tp_name) noexcept {
    if (!PyType_Check(value)) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(value);
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, tp_name) == 0;
}

namespace {

/// Whether `value`'s __name__, read where it runs no code of the host's, is `name`.
bool named(PyObject* value, std::string_view name) {
    Ref text = lookup_attr(value, Ref(glue::text("__name__")));
    if (!text || !PyUnicode_CheckExact(text)) return false;
    Py_ssize_t size;
    const char* chars = PyUnicode_AsUTF8AndSize(text, &size);
    if (chars == nullptr) raise();
    return std::string_view(chars, static_cast<size_t>(size)) == name;
}

/// The code object whose qualified name is `qualname` among those `code` holds, at any depth.
Ref find_code(PyObject* code, const char* qualname) {
    Ref consts = getattr(code, Ref(text("co_consts")));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts.get()); i++) {
        PyObject* inner = PyTuple_GET_ITEM(consts.get(), i);
        if (!PyCode_Check(inner)) continue;
        Ref qualified = getattr(inner, Ref(text("co_qualname")));
        if (PyUnicode_CompareWithASCIIString(qualified, qualname) == 0) return own(inner);
        if (Ref found = find_code(inner, qualname)) return found;
    }
    return Ref();
}

bool same_code(PyObject* a, PyObject* b);

/// Whether two constants are the same constant, decided without running code: the same exact
/// type, and for a float the same bits. A constant of the host's (code.replace accepts any
/// object) would answer `==` with code of its own, and 0.0 == -0.0 and 1 == 1.0 == True.
bool same_constant(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) != Py_TYPE(b)) return false;
    if (PyTuple_CheckExact(a)) {
        if (PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); i++)
            if (!same_constant(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i))) return false;
        return true;
    }
    if (PyFloat_CheckExact(a)) {
        const double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (PyCode_Check(a)) return same_code(a, b);
    // The other constants of these sources; the interpreter's own types compare without code.
    if (PyUnicode_CheckExact(a) || PyLong_CheckExact(a) || PyBytes_CheckExact(a))
        return check_status(PyObject_RichCompareBool(a, b, Py_EQ));
    return false;
}

/// Whether two code objects do the same: same instructions, exception table, constants, names
/// and parameters.
bool same_code(PyObject* a, PyObject* b) {
    for (const char* field : {"co_code", "co_exceptiontable", "co_consts", "co_names", "co_varnames",
                              "co_argcount", "co_posonlyargcount", "co_kwonlyargcount", "co_flags"}) {
        Ref name = text(field);
        Ref x = getattr(a, name), y = getattr(b, name);
        // Each is a tuple of constants, or exact bytes, strings or ints.
        if (!same_constant(x, y)) return false;
    }
    return true;
}

}  // namespace

bool genuine_builtin(PyObject* value, const char* name) {
    // Types and functions of builtins are the interpreter's own; host code can make neither a
    // static type nor a C function of the builtins module.
    if (PyType_Check(value)) return static_type_named(value, name);
    if (!PyCFunction_Check(value)) return false;
    PyObject* module = PyCFunction_GetSelf(value);
    if (module == nullptr || !PyModule_CheckExact(module)) return false;
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) raise();
    return std::strcmp(module_name, "builtins") == 0 && named(value, name);
}

bool genuine_ufunc(PyObject* value, const char* name) {
    if (!static_type_named(reinterpret_cast<PyObject*>(Py_TYPE(value)), "numpy.ufunc") || !named(value, name))
        return false;
    // numpy.frompyfunc makes a ufunc of any name (one ending in a NUL reads as `name`), but with
    // one loop over objects only; numpy's own have a loop over doubles, which no Python code makes.
    Ref types = lookup_attr(value, Ref(text("types")));
    return types && PyList_CheckExact(types) && check_status(PySequence_Contains(types, Ref(text("d->d"))));
}

bool same_code_as(PyObject* function, const char* source, const char* qualname) {
    if (!PyFunction_Check(function)) return false;
    Ref compiled = check(Py_CompileString(source, "<original>", Py_file_input));
    Ref code = find_code(compiled, qualname);
    return code && same_code(PyFunction_GET_CODE(function), code);
}

bool reads_genuine_names(PyObject* function, std::initializer_list<Checked> checked) {
    PyObject* globals = PyFunction_GET_GLOBALS(function);
    Ref builtins = getattr(function, Ref(text("__builtins__")));
    Ref names = getattr(PyFunction_GET_CODE(function), Ref(text("co_names")));
    if (!PyDict_Check(builtins) || !PyTuple_CheckExact(names)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); i++) {
        PyObject* name = PyTuple_GET_ITEM(names.get(), i);
        const char* text = PyUnicode_AsUTF8(name);
        if (text == nullptr) raise();
        const Checked* own = nullptr;
        for (const Checked& c : checked)
            if (std::strcmp(c.name, text) == 0) own = &c;
        PyObject* value = nullptr;
        if (!lookup_without_code(globals, name, &value)) return false;
        if (own != nullptr) {
            // Checked by the caller; the function must find that very object, or not care.
            if (own->value != nullptr && value != own->value) return false;
            continue;
        }
        if (value != nullptr) {
            // A module's alias of a builtin (uuid's int_ = int) must be that builtin.
            std::string builtin(text);
            if (!builtin.empty() && builtin.back() == '_') builtin.pop_back();
            if (!genuine_builtin(value, builtin.c_str())) return false;
            continue;
        }
        if (!lookup_without_code(builtins, name, &value)) return false;
        if (value != nullptr && !genuine_builtin(value, text)) return false;
    }
    return true;
}

}  // namespace interval::trust

#endif  // PLENX_FAST_LAYER
