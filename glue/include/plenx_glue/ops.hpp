// plenx_glue/ops.hpp: the C API operations the modules use, checked and returning Refs.
//
// The basic layer (Limited API): each succeeds or throws python_error; fast.hpp adds shortcuts.
#pragma once

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "names.hpp"
#include "ref.hpp"

namespace glue {

#if PLENX_FAST_LAYER
/// Whether shortcuts may be taken (the build allows them and the environment did not turn them off).
inline bool shortcuts() noexcept { return context().shortcuts_on; }

/// Reads the switch when a module is imported.
inline void read_shortcut_switch() noexcept {
    const char* setting = Py_GETENV("PLENX_GLUE_SHORTCUTS");
    context().shortcuts_on = PLENX_SHORTCUTS && !(setting != nullptr && setting[0] == '0' && setting[1] == '\0');
}
/// Whether the shortcuts that need nothing past the Limited API may be taken: native stand-ins
/// for vouched originals (watch.hpp), plain numbers compared and written natively. The same switch.
inline bool basic_shortcuts() noexcept { return shortcuts(); }
#else
/// The stable-ABI build has none of the shortcuts of the fast layer.
constexpr bool shortcuts() noexcept { return false; }
/// Its shortcuts that need nothing past the Limited API (native stand-ins for vouched originals,
/// plain numbers compared and written natively) follow the shortcut switch.
inline bool basic_shortcuts() noexcept { return context().shortcuts_on; }
inline void read_shortcut_switch() noexcept {
    // As Py_GETENV reads it: not under `python -E` (sys.flags.ignore_environment).
    const char* setting = std::getenv("PLENX_GLUE_SHORTCUTS");
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    PyObject* ignore = flags ? PyObject_GetAttrString(flags, "ignore_environment") : nullptr;
    if (ignore != nullptr && PyObject_IsTrue(ignore) == 1) setting = nullptr;
    Py_XDECREF(ignore);
    PyErr_Clear();
    context().shortcuts_on = PLENX_SHORTCUTS && !(setting != nullptr && setting[0] == '0' && setting[1] == '\0');
}
#endif

/// Tuple, list and float reads, unchecked: the C API's macros, or the Limited API's functions.
#ifdef Py_LIMITED_API
inline Py_ssize_t tuple_size(PyObject* t) noexcept { return PyTuple_Size(t); }
inline PyObject* tuple_item(PyObject* t, Py_ssize_t i) noexcept { return PyTuple_GetItem(t, i); }
inline Py_ssize_t list_size(PyObject* l) noexcept { return PyList_Size(l); }
inline PyObject* list_item(PyObject* l, Py_ssize_t i) noexcept { return PyList_GetItem(l, i); }
inline double float_value(PyObject* f) noexcept { return PyFloat_AsDouble(f); }
#else
inline Py_ssize_t tuple_size(PyObject* t) noexcept { return PyTuple_GET_SIZE(t); }
inline PyObject* tuple_item(PyObject* t, Py_ssize_t i) noexcept { return PyTuple_GET_ITEM(t, i); }
inline Py_ssize_t list_size(PyObject* l) noexcept { return PyList_GET_SIZE(l); }
inline PyObject* list_item(PyObject* l, Py_ssize_t i) noexcept { return PyList_GET_ITEM(l, i); }
inline double float_value(PyObject* f) noexcept { return PyFloat_AS_DOUBLE(f); }
#endif

/// A new reference to a borrowed object.
inline Ref own(PyObject* o) noexcept { return Ref::borrow(o); }
inline Ref none() noexcept { return own(Py_None); }
inline Ref boolean(bool v) noexcept { return own(v ? Py_True : Py_False); }
inline Ref integer(long v) { return check(PyLong_FromLong(v)); }
inline Ref floating(double v) { return check(PyFloat_FromDouble(v)); }
inline Ref text(const char* s) { return check(PyUnicode_FromString(s)); }

inline Ref getattr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline void setattr(PyObject* o, PyObject* name, PyObject* value) { check_status(PyObject_SetAttr(o, name, value)); }

/// getattr that answers null instead of raising AttributeError; other errors still throw.
inline Ref lookup_attr(PyObject* o, PyObject* name) {
    if (PyObject* found = PyObject_GetAttr(o, name)) return Ref::steal(found);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
    PyErr_Clear();
    return Ref();
}

/// Calls with positional arguments only, through vectorcall (no argument tuple).
template <class... A>
Ref call(PyObject* callable, A... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    return check(PyObject_Vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// Calls with the last len(kwnames) arguments passed by keyword.
template <class... A>
Ref call_kw(PyObject* callable, PyObject* kwnames, A... args) {
    PyObject* stack[] = {nullptr, static_cast<PyObject*>(args)...};
    const size_t positional = sizeof...(A) - static_cast<size_t>(tuple_size(kwnames));
    return check(PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// Calls method `name` of `self` the way `self.name(args...)` does, without a bound method.
template <class... A>
Ref call_method(PyObject* self, PyObject* name, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    return check(PyObject_VectorcallMethod(name, stack, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

/// `self.name(args...)` with the last len(kwnames) arguments passed by keyword.
template <class... A>
Ref call_method_kw(PyObject* self, PyObject* name, PyObject* kwnames, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    const size_t positional = sizeof...(A) + 1 - static_cast<size_t>(tuple_size(kwnames));
    return check(PyObject_VectorcallMethod(name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// A tuple of interned names: keyword names for call_kw, or the fromlist of an import.
Ref name_tuple(std::initializer_list<const Name*> names);

/// The host's truth rule (`bool(o)`).
inline bool truthy(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return check_status(PyObject_IsTrue(o)) != 0;
}

/// `a <op> b` for two plain C values, `op` being one of Py_LT ... Py_GE.
template <class T>
bool apply_comparison(T a, T b, int op) {
    switch (op) {
        case Py_LT: return a < b;
        case Py_LE: return a <= b;
        case Py_EQ: return a == b;
        case Py_NE: return a != b;
        case Py_GT: return a > b;
        default: return a >= b;
    }
}

/// `a <op> b` as the host evaluates it, returning the comparison's own result object.
inline Ref compare(PyObject* a, PyObject* b, int op) { return check(PyObject_RichCompare(a, b, op)); }
/// `bool(a == b)`.
inline bool equals(PyObject* a, PyObject* b) { return truthy(compare(a, b, Py_EQ)); }

/// The value of an exact int when it fits a long (nothing else can fail for an exact int).
inline bool small_int(PyObject* exact_int, long* value) noexcept {
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(exact_int, &overflow);
    return overflow == 0;
}

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }

/// A new str of the `n` ASCII characters at `s`, as PyUnicode_FromStringAndSize makes it (a text
/// of one character or none is the interpreter's own), without decoding them.
inline Ref ascii_text(const char* s, Py_ssize_t n) {
#ifndef Py_LIMITED_API
    if (n > 1) {
        Ref made = check(PyUnicode_New(n, 127));
        std::memcpy(PyUnicode_1BYTE_DATA(made.get()), s, static_cast<size_t>(n));
        return made;
    }
#endif
    return check(PyUnicode_FromStringAndSize(s, n));
}
inline Py_ssize_t length(PyObject* o) {
    if (PyList_CheckExact(o)) return list_size(o);  // a list's own length runs nothing
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) raise();
    return n;
}

/// `o[i]`, the host's subscription.
inline Ref item(PyObject* o, Py_ssize_t i) {
    if (PyList_CheckExact(o) && i >= 0 && i < list_size(o)) return own(list_item(o, i));
    Ref index = integer(static_cast<long>(i));
    return check(PyObject_GetItem(o, index));
}
/// `o[key]`, the host's subscription.
inline Ref subscript(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }
inline void set_item(PyObject* o, PyObject* key, PyObject* value) { check_status(PyObject_SetItem(o, key, value)); }

/// `o.append(value)`; lists are appended to directly.
void append(PyObject* o, PyObject* value);

/// The interpreter's own type `name` (borrowed), found among object's subclasses, never the host's.
PyObject* builtin_type(const char* name);

/// `super(owner, self).name`, looked up now and called later.
class SuperMethod {
public:
    SuperMethod(PyObject* owner, PyObject* self, PyObject* name)
        : bound_(getattr(call(reinterpret_cast<PyObject*>(&PySuper_Type), owner, self).get(), name)) {}
    template <class... A>
    Ref operator()(A... args) const {
        return call(bound_, args...);
    }
    /// Never: the call is always made through the bound method.
    template <class D>
    bool runs_directly(const D&, size_t) const noexcept { return false; }

private:
    Ref bound_;
};

/// While alive, `error` is the exception being handled (sys.exc_info()), as inside an `except`
/// block: errors raised meanwhile chain to it. The one handled before is restored at the end.
class Handling {
public:
    explicit Handling(PyObject* error) noexcept : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(error);
    }
    ~Handling() { PyErr_SetHandledException(previous_); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

/// `raise type(message) from cause` (or without a cause), chained to the exception being handled.
[[noreturn]] void raise_new(PyObject* type, PyObject* message, PyObject* cause = nullptr);

/// The pending exception, taken out of the interpreter (null when none is set).
inline Ref fetch_error() noexcept {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return Ref();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
}

/// Raises `error` again, unchanged: same object, same traceback, no new chaining.
[[noreturn]] inline void reraise(Ref error) {
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    PyObject* traceback = PyException_GetTraceback(error);
    PyErr_Restore(type, error.release(), traceback);
    raise();
}

/// Whether the pending exception is an instance of `type`.
inline bool pending_is(PyObject* type) noexcept { return PyErr_ExceptionMatches(type) != 0; }

/// `mapping[key]`, or null where the key is absent (an exact dict's miss, or a KeyError).
inline Ref find_item(PyObject* mapping, PyObject* key) {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found == nullptr && PyErr_Occurred()) raise();
        return own(found);
    }
    if (Ref found = Ref::steal(PyObject_GetItem(mapping, key))) return found;
    if (!pending_is(PyExc_KeyError)) raise();
    PyErr_Clear();
    return Ref();
}

}  // namespace glue
