// plenx_glue/stack.hpp: how much of the thread's C stack is left, checked on every call of ours.
//
// Public C API and libc only: the interpreter's own stack checks differ between versions.
#pragma once

#include <cstdint>

namespace glue {

namespace detail {
/// The lowest address this thread's calls of ours may start from: the end of its stack plus the
/// margin kept for unwinding. The highest address until the thread's bounds are first read.
[[gnu::tls_model("initial-exec")]] inline constinit thread_local uintptr_t stack_floor = UINTPTR_MAX;

/// Past the floor: reads the thread's bounds on its first call, then answers as stack_exhausted().
bool stack_below_floor(uintptr_t here) noexcept;

/// Where the running call is on the stack: the stack pointer itself where it can be read
/// directly (a frame address would make every caller keep a frame pointer), else the frame.
[[gnu::always_inline]] inline uintptr_t stack_position() noexcept {
#if defined(__x86_64__)
    uintptr_t here;
    __asm__("mov %%rsp, %0" : "=r"(here));
    return here;
#elif defined(__aarch64__)
    uintptr_t here;
    __asm__("mov %0, sp" : "=r"(here));
    return here;
#else
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
}
}  // namespace detail

/// True, with RecursionError set, when the C stack left to this thread is down to the margin.
/// A host callback can recurse through our calls far below the recursion limit's reach (it may
/// be raised at will, and from 3.12 it does not cover C frames), so every call of ours that can
/// reach host code checks the stack itself first. Inline: one thread-local read and a compare.
inline bool stack_exhausted() noexcept {
    const uintptr_t here = detail::stack_position();
    return here < detail::stack_floor && detail::stack_below_floor(here);
}

}  // namespace glue
