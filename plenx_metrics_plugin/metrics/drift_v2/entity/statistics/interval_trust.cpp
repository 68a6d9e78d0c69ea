// interval_trust.cpp: telling the genuine originals from whatever stands under their names.
//
// Native work may stand in for numpy's absolute, the standard uuid4 and the package's value
// helpers only. Each is recognised by what it is, never by having been there at import.
#include "interval.hpp"

#include <plenx_glue/dicts.hpp>

#include <atomic>
#include <cstring>
#include <string>
#include <string_view>

namespace interval::trust {

using namespace glue;

Ref entry(PyObject* dict, const char* name) noexcept {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    PyObject* found = nullptr;
#if PLENX_FAST_LAYER
    if (!key || !PyDict_Check(dict) || !lookup_without_code(dict, key, &found)) found = nullptr;
#else
    // The Limited API has no lookup that refuses a key of the host's: an exact dict is asked.
    if (!key || !PyDict_CheckExact(dict) || (found = PyDict_GetItemWithError(dict, key)) == nullptr) found = nullptr;
#endif
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
#if PLENX_FAST_LAYER
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, tp_name) == 0;
#else
    // A static type's __module__ and __qualname__ are its tp_name's parts, read by type's own getters.
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || !Py_IS_TYPE(value, &PyType_Type)) return false;
    const char* dot = std::strrchr(tp_name, '.');
    if (dot == nullptr) return false;
    const std::string module(tp_name, static_cast<size_t>(dot - tp_name));
    PyObject* own_module = PyObject_GetAttrString(value, "__module__");
    PyObject* own_name = PyObject_GetAttrString(value, "__qualname__");
    const bool named = own_module && own_name && PyUnicode_Check(own_module) && PyUnicode_Check(own_name) &&
                       PyUnicode_CompareWithASCIIString(own_module, module.c_str()) == 0 &&
                       PyUnicode_CompareWithASCIIString(own_name, dot + 1) == 0;
    Py_XDECREF(own_module);
    Py_XDECREF(own_name);
    PyErr_Clear();
    return named;
#endif
}

namespace {

#if PLENX_FAST_LAYER
Ref code_of(PyObject* function) { return own(PyFunction_GET_CODE(function)); }
Ref globals_of(PyObject* function) { return own(PyFunction_GET_GLOBALS(function)); }
bool is_code(PyObject* o, PyObject*) noexcept { return PyCode_Check(o); }
bool is_function(PyObject* o) { return PyFunction_Check(o); }
#else
// The Limited API reads a function's parts as attributes (__code__ is an audited read).
Ref code_of(PyObject* function) { return getattr(function, Ref(text("__code__"))); }
Ref globals_of(PyObject* function) { return getattr(function, Ref(text("__globals__"))); }
/// Code objects are of the type a compilation of ours gave (a static type, the same in every interpreter).
std::atomic<PyTypeObject*> code_type{nullptr};
bool is_code(PyObject* o, PyObject*) noexcept {
    PyTypeObject* type = code_type.load(std::memory_order_relaxed);
    return type != nullptr && Py_TYPE(o) == type;
}
/// The interpreter's own static type `name` of builtins (host code makes no static type).
bool static_builtin_type(PyTypeObject* type, const char* name) {
    if ((PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) || !Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type))
        return false;
    Ref qualname = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__qualname__")));
    Ref module = getattr(reinterpret_cast<PyObject*>(type), Ref(text("__module__")));
    return PyUnicode_CompareWithASCIIString(qualname, name) == 0 && PyUnicode_CompareWithASCIIString(module, "builtins") == 0;
}
bool is_function(PyObject* o) { return static_builtin_type(Py_TYPE(o), "function"); }
#endif

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
    for (Py_ssize_t i = 0; i < tuple_size(consts.get()); i++) {
        PyObject* inner = tuple_item(consts.get(), i);
        if (!is_code(inner, code)) continue;
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
        if (tuple_size(a) != tuple_size(b)) return false;
        for (Py_ssize_t i = 0; i < tuple_size(a); i++)
            if (!same_constant(tuple_item(a, i), tuple_item(b, i))) return false;
        return true;
    }
    if (PyFloat_CheckExact(a)) {
        const double x = float_value(a), y = float_value(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (is_code(a, b)) return same_code(a, b);
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
#if PLENX_FAST_LAYER
    if (PyType_Check(value)) return static_type_named(value, name);
#else
    if (PyType_Check(value)) return static_builtin_type(reinterpret_cast<PyTypeObject*>(value), name);
#endif
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
    if (!is_function(function)) return false;
    Ref compiled = check(Py_CompileString(source, "<original>", Py_file_input));
#if !PLENX_FAST_LAYER
    code_type.store(Py_TYPE(compiled.get()), std::memory_order_relaxed);
#endif
    Ref code = find_code(compiled, qualname);
    Ref own_code = code_of(function);
    return code && is_code(own_code, compiled) && same_code(own_code, code);
}

namespace {
/// `dict[name]` (borrowed, null when absent) found without running code; false where it cannot be.
bool lookup(PyObject* dict, PyObject* name, PyObject** value) {
#if PLENX_FAST_LAYER
    return lookup_without_code(dict, name, value);
#else
    if (!PyDict_CheckExact(dict)) return false;
    *value = PyDict_GetItemWithError(dict, name);
    if (*value == nullptr && PyErr_Occurred()) raise();
    return true;
#endif
}
}  // namespace

bool reads_genuine_names(PyObject* function, std::initializer_list<Checked> checked) {
    Ref globals = globals_of(function);
    Ref builtins = getattr(function, Ref(text("__builtins__")));
    Ref names = getattr(code_of(function), Ref(text("co_names")));
    if (!PyDict_Check(builtins) || !PyTuple_CheckExact(names)) return false;
    for (Py_ssize_t i = 0; i < tuple_size(names.get()); i++) {
        PyObject* name = tuple_item(names.get(), i);
        const char* text = PyUnicode_AsUTF8AndSize(name, nullptr);
        if (text == nullptr) raise();
        const Checked* own = nullptr;
        for (const Checked& c : checked)
            if (std::strcmp(c.name, text) == 0) own = &c;
        PyObject* value = nullptr;
        if (!lookup(globals, name, &value)) return false;
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
        if (!lookup(builtins, name, &value)) return false;
        if (value != nullptr && !genuine_builtin(value, text)) return false;
    }
    return true;
}

}  // namespace interval::trust
