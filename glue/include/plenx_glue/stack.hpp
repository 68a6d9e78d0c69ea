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
}  // namespace detail

/// True, with RecursionError set, when the C stack left to this thread is down to the margin.
/// A host callback can recurse through our calls far below the recursion limit's reach (it may
/// be raised at will, and from 3.12 it does not cover C frames), so every call of ours that can
/// reach host code checks the stack itself first. Inline: one thread-local read and a compare.
inline bool stack_exhausted() noexcept {
    const auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return here < detail::stack_floor && detail::stack_below_floor(here);
}

}  // namespace glue
