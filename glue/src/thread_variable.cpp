// glue/src/thread_variable.cpp: where libpython keeps the running thread's state, per thread.
//
// 3.12 and 3.13 keep it in a thread variable of their own; its address is found among libpython's.
#include "plenx_glue/cpython/access.hpp"

#if PY_VERSION_HEX >= 0x030C0000 && defined(__GLIBC__)
#include <link.h>
#endif

namespace glue {

#if PY_VERSION_HEX >= 0x030C0000
namespace {

/// The public call current_thread() stands for.
PyThreadState* public_current_thread() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
#endif
}

#if defined(__GLIBC__)
struct Search {
    uintptr_t function;             // the public call's code: the module that holds it is libpython
    PyThreadState* thread;          // what it returns on this thread
    PyThreadState* const* found = nullptr;
    int matches = 0;
};

/// For the module holding the public call: the words of this thread's block of its thread
/// variables that hold the running thread's state (its block is null until the thread has one).
int search_module(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<Search*>(data);
    bool holds = false;
    size_t tls_size = 0;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (segment.p_type == PT_LOAD && search->function >= start && search->function < start + segment.p_memsz)
            holds = true;
        if (segment.p_type == PT_TLS) tls_size = segment.p_memsz;
    }
    if (!holds) return 0;
    if (info->dlpi_tls_data != nullptr) {
        auto* words = static_cast<PyThreadState* const*>(info->dlpi_tls_data);
        for (size_t i = 0; i < tls_size / sizeof(PyThreadState*); i++)
            if (words[i] == search->thread) search->found = &words[i], search->matches++;
    }
    return 1;  // the module is found: stop
}
#endif

}  // namespace

PyThreadState* detail::find_thread_variable() noexcept {
    PyThreadState* thread = public_current_thread();
    // Only while a thread state runs, and only one word may hold it: the variable itself always
    // does, so a second word that happens to hold the same leaves it unknown.
    if (thread == nullptr) return thread;
    thread_variable_sought = true;
#if defined(__GLIBC__)
#if PY_VERSION_HEX >= 0x030D0000
    Search search{reinterpret_cast<uintptr_t>(&PyThreadState_GetUnchecked), thread};
#else
    Search search{reinterpret_cast<uintptr_t>(&_PyThreadState_UncheckedGet), thread};
#endif
    dl_iterate_phdr(search_module, &search);
    // A thread's block of thread variables stays where it is for the thread's life.
    if (search.matches == 1) thread_variable = search.found;
#endif
    return thread;
}
#endif

}  // namespace glue
