// glue/src/os_random.cpp: fresh random bytes from the kernel, as os.urandom reads them.
//
// The C library's getrandom, one call per read, as os.urandom calls it. Not the kernel's vDSO
// with a state of our own: once seeded, that state serves bytes without asking the kernel, so a
// seccomp filter refusing getrandom (or a failing kernel) would go unseen by us while os.urandom
// fails; where the C library itself reads the vDSO (glibc 2.41 on), this call does too.
#include "plenx_glue/os_random.hpp"

#include "plenx_glue/ref.hpp"

#include <sys/random.h>

#include <atomic>
#include <cerrno>

namespace glue {

namespace {

// Whether getrandom(2) serves this process: os.urandom stops asking it after ENOSYS or EPERM (a
// kernel without it, a seccomp policy) and reads /dev/urandom instead.
std::atomic<bool> getrandom_works = true;  // a fact of the process, so for every interpreter

}  // namespace

bool os_random_available() noexcept { return getrandom_works.load(std::memory_order_relaxed); }

/// As os.urandom(size) reads (Python/bootstrap_hash.c): a partial read or EINTR is read on (a
/// signal's handler runs first and may raise), any other error is OSError from errno. Once the
/// system's pool is initialised getrandom never blocks, so it is first asked not to, with the GIL
/// held; before that it is waited on with the GIL released, as os.urandom waits.
bool read_os_random(unsigned char* bytes, size_t size) {
    if (!getrandom_works.load(std::memory_order_relaxed)) return false;
    size_t filled = 0;
    unsigned int flags = GRND_NONBLOCK;
    while (filled < size) {
        ssize_t n;
        int error;
        if (flags == 0) {
            Py_BEGIN_ALLOW_THREADS
            n = getrandom(bytes + filled, size - filled, 0);
            error = errno;
            Py_END_ALLOW_THREADS
        } else {
            n = getrandom(bytes + filled, size - filled, flags);
            error = errno;
        }
        if (n >= 0) {
            filled += static_cast<size_t>(n);
            continue;
        }
        if (error == ENOSYS || error == EPERM) {
            getrandom_works.store(false, std::memory_order_relaxed);
            return false;
        }
        if (error == EAGAIN && flags != 0) {
            flags = 0;  // not initialised yet: wait for it, as os.urandom does
            continue;
        }
        if (error == EINTR) {
            if (PyErr_CheckSignals() < 0) raise();
            continue;
        }
        errno = error;
        PyErr_SetFromErrno(PyExc_OSError);
        raise();
    }
    return true;
}

}  // namespace glue
