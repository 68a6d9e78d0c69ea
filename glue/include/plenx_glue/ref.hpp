// plenx_glue/ref.hpp: owned references and the one place C++ errors become Python errors.
//
// Logic code never counts references by hand: every owned PyObject* lives in a Ref.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/// The fast layer (cpython/, fast.hpp's shortcuts) is left out of the stable-ABI (Limited API) build.
#ifdef Py_LIMITED_API
#define PLENX_FAST_LAYER 0
#else
#define PLENX_FAST_LAYER 1
#endif
#ifndef PLENX_SHORTCUTS
#define PLENX_SHORTCUTS 1
#endif

#include <exception>
#include <new>
#include <utility>

namespace glue {

/// Thrown when a Python exception is already set; it carries nothing of its own.
struct python_error {};

/// Throws python_error; for C API failures whose exception is already set.
[[noreturn]] inline void raise() { throw python_error{}; }

/// Sets a Python exception with a formatted message and throws python_error.
template <class... A>
[[noreturn]] void raise(PyObject* type, const char* format, A... args) {
    PyErr_Format(type, format, args...);
    throw python_error{};
}

/// An owned (strong) reference, released when the handle goes away.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : p_(Py_XNewRef(other.p_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }

    /// Takes over a new reference; may be null.
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    /// Takes a new reference to a borrowed object; may be null.
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    /// Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Puts `value` in `*slot`, then releases the old value: a finaliser it runs finds the new one there.
inline void replace_slot(PyObject** slot, Ref value) noexcept {
    PyObject* old = *slot;
    *slot = value.release();
    Py_XDECREF(old);
}

/// Takes over the result of a C API call that returns a new reference or null on error.
inline Ref check(PyObject* p) {
    if (p == nullptr) raise();
    return Ref::steal(p);
}

/// Fails on the -1 that C API calls return with an exception set.
inline int check_status(int status) {
    if (status < 0) raise();
    return status;
}

/// The result of `body`, or `failed` with anything it threw made a pending Python exception.
template <class F, class R>
R guarded(F&& body, R failed) noexcept {
    try {
        return body();
    } catch (const python_error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
    return failed;
}

}  // namespace glue
