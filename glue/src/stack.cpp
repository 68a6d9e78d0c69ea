// glue/src/stack.cpp: the bounds of each thread's C stack, read once per thread.
//
// glibc reports a thread's stack as it was made, and the main thread's as its rlimit allows.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <algorithm>

#include "plenx_glue/stack.hpp"

namespace glue {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr uintptr_t sanitized = 1;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr uintptr_t sanitized = 1;
#else
constexpr uintptr_t sanitized = 0;
#endif
#else
constexpr uintptr_t sanitized = 0;
#endif

/// What is kept free below the deepest call of ours: for the error to unwind (8 kB measured, 12
/// under the address sanitizer) and for whatever C the host code at the bottom runs (one layer of
/// host code through a call of ours takes 0.7 to 1.5 kB, 2 to 4 under the sanitizer). At least
/// this much, a sixteenth of a larger stack (512 kB of the main thread's 8 MB), and no more than
/// a quarter of a stack too small for either.
constexpr uintptr_t least_margin_bytes = (sanitized ? 128 : 64) * 1024;
/// Assumed where the bounds cannot be read: no more stack below the first call than this.
constexpr uintptr_t unknown_stack_bytes = 256 * 1024;

// The thread's stack: its lowest and highest address (0 until read).
thread_local uintptr_t stack_low = 0;
thread_local uintptr_t stack_high = 0;

void read_bounds(uintptr_t here) noexcept {
    uintptr_t low = 0, size = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        void* address = nullptr;
        size_t bytes = 0;
        if (pthread_attr_getstack(&attr, &address, &bytes) == 0) low = reinterpret_cast<uintptr_t>(address), size = bytes;
        pthread_attr_destroy(&attr);
    }
    if (size == 0 || here < low || here - low > size) {
        low = here > unknown_stack_bytes ? here - unknown_stack_bytes : 0;
        size = here - low;
    }
    const uintptr_t margin = std::min(std::max(least_margin_bytes, size / 16), size / 4);
    stack_low = low;
    stack_high = low + size;
    detail::stack_floor = low + margin;
}

}  // namespace

bool detail::stack_below_floor(uintptr_t here) noexcept {
    if (stack_high == 0) {
        read_bounds(here);
        if (here >= stack_floor) return false;
    }
    // Not on the thread's own stack (one a coroutine library made): its size is unknown.
    if (here < stack_low || here > stack_high) return false;
    const int used = static_cast<int>((stack_high - here) / 1024);
    if (Py_Version >= 0x030E0000)
        PyErr_Format(PyExc_RecursionError, "Stack overflow (used %d kB)", used);
    else
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded (C stack: used %d kB)", used);
    return true;
}

}  // namespace glue
