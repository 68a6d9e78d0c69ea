// plenx_glue/ops.hpp: the C API operations the modules use, checked and returning Refs.
//
// Each helper either succeeds or throws python_error with the interpreter's own exception set.
#pragma once

#include <initializer_list>

#include "attributes.hpp"
#include "dicts.hpp"
#include "cpython/access.hpp"
#include "function.hpp"
#include "names.hpp"
#include "ref.hpp"

namespace glue {

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
    PyObject* result;
    check_status(optional_attr(o, name, &result));
    return Ref::steal(result);
}

// With a fixed name, plain instance attributes are read and replaced in place.
inline Ref getattr(PyObject* o, const Name& name) {
    if (PyObject** slot = instance_slot(o, name); slot && *slot) return own(*slot);
    return getattr(o, name.get());
}
inline Ref lookup_attr(PyObject* o, const Name& name) {
    if (PyObject** slot = instance_slot(o, name); slot && *slot) return own(*slot);
    return lookup_attr(o, name.get());
}
inline void setattr(PyObject* o, const Name& name, PyObject* value) {
    if (PyObject** slot = instance_slot(o, name); slot && store_in_place(o, slot, value)) return;
    setattr(o, name.get(), value);
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
    const size_t positional = sizeof...(A) - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return check(PyObject_Vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// `self.name(*stack[1:])`: our own functions are called straight from the class, anything
/// else through the interpreter's method call.
inline Ref call_method_stack(PyObject* const* stack, size_t positional, const Name& name, PyObject* kwnames) {
    if (PyObject* function = own_method(stack[0], name)) {
        Ref keep = own(function);  // the class may drop it while the body runs
        if (kwnames == nullptr && positional == parameter_count(function)) return invoke_from_own_code(function, stack);
        return check(PyObject_Vectorcall(function, stack, positional, kwnames));
    }
    return check(PyObject_VectorcallMethod(name, stack, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

/// Calls method `name` of `self` the way `self.name(args...)` does, without a bound method.
template <class... A>
Ref call_method(PyObject* self, const Name& name, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    return call_method_stack(stack, sizeof...(A) + 1, name, nullptr);
}

/// `self.name(args...)` with the last len(kwnames) arguments passed by keyword.
template <class... A>
Ref call_method_kw(PyObject* self, const Name& name, PyObject* kwnames, A... args) {
    PyObject* stack[] = {self, static_cast<PyObject*>(args)...};
    const size_t positional = sizeof...(A) + 1 - static_cast<size_t>(PyTuple_GET_SIZE(kwnames));
    return call_method_stack(stack, positional, name, kwnames);
}

/// A tuple of interned keyword names, for call_kw.
Ref keyword_names(std::initializer_list<const Name*> names);

/// The host's truth rule (`bool(o)`).
inline bool truthy(PyObject* o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return check_status(PyObject_IsTrue(o)) != 0;
}

/// The value of an exact int when it fits a long (one-digit ints are read in place).
inline bool small_int(PyObject* exact_int, long* value) noexcept {
    if (shortcuts() && one_digit_value(exact_int, value)) return true;
    int overflow = 0;
    *value = PyLong_AsLongAndOverflow(exact_int, &overflow);
    return overflow == 0;  // cannot fail otherwise for an exact int
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
/// Exact floats and small exact ints are compared here; everything else goes to the interpreter.
Ref compare(PyObject* a, PyObject* b, int op);

/// `bool(a == b)`, trusting identity only where the interpreter's own equality would.
bool equals(PyObject* a, PyObject* b);

inline Ref str(PyObject* o) { return check(PyObject_Str(o)); }
inline Py_ssize_t length(PyObject* o) {
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) raise();
    return n;
}

/// `o[i]` for an index, the host's subscription (a negative index counts from the end).
inline Ref item(PyObject* o, Py_ssize_t i) {
    if (PyList_CheckExact(o) && i >= 0 && i < PyList_GET_SIZE(o)) return own(PyList_GET_ITEM(o, i));
    Ref index = integer(static_cast<long>(i));
    return check(PyObject_GetItem(o, index));
}
/// `o[key]`, the host's subscription.
inline Ref subscript(PyObject* o, PyObject* key) { return check(PyObject_GetItem(o, key)); }
/// The same with a fixed name: a small dict holding that very string is read without hashing.
inline Ref subscript(PyObject* o, const Name& key) {
    if (PyObject* found = find_by_identity(o, key)) return own(found);
    return subscript(o, key.get());
}
inline void set_item(PyObject* o, PyObject* key, PyObject* value) { check_status(PyObject_SetItem(o, key, value)); }

/// `o.append(value)`; lists are appended to directly.
void append(PyObject* o, PyObject* value);

/// The C-level name of an object's type, as the interpreter's argument checks print it.
inline const char* type_name(PyObject* o) noexcept { return Py_TYPE(o)->tp_name; }

/// Refuses an argument whose type is not exactly `expected`, as typed arguments are refused.
inline void require_exact(PyObject* value, PyTypeObject* expected, const char* argument) {
    if (Py_TYPE(value) != expected)
        raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
              expected->tp_name, type_name(value));
}

/// While alive, `error` is the exception being handled (what sys.exc_info() gives), as inside an
/// `except` block: the interpreter makes it the __context__ of any error raised meanwhile,
/// breaking cycles as it does. The one handled before is restored at the end.
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

/// `raise type(message) from cause` (no cause: a plain `raise type(message)`); the exception
/// being handled, if any, becomes its __context__.
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

}  // namespace glue
