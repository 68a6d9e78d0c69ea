// glue/src/os_random.cpp: fresh random bytes from the kernel, as os.urandom reads them.
//
// getrandom(2), through the kernel's vDSO where it offers one (Linux 6.11 on), as the C library
// itself calls it from glibc 2.41 on: the same bytes without a system call.
#include "plenx_glue/os_random.hpp"

#include "plenx_glue/context.hpp"
#include "plenx_glue/ref.hpp"

#include <sys/mman.h>
#include <sys/random.h>
#if defined(__linux__)
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>
#endif
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace glue {

namespace {

// Whether getrandom(2) serves this process: os.urandom stops asking it after ENOSYS or EPERM (a
// kernel without it, a seccomp policy) and reads /dev/urandom instead.
std::atomic<bool> getrandom_works = true;  // a fact of the process, so for every interpreter

// ---- the vDSO's getrandom ----

/// What the vDSO's getrandom asks of the memory its state lives in (the kernel's
/// struct vgetrandom_opaque_params).
struct VdsoParams {
    uint32_t size_of_opaque_state = 0, mmap_prot = 0, mmap_flags = 0, reserved[13] = {};
};
using VdsoGetrandom = ssize_t (*)(void* buffer, size_t size, unsigned int flags, void* state, size_t state_size);

struct Vdso {
    VdsoGetrandom read = nullptr;  // null: none here (an older kernel, or a tool that hides the vDSO)
    VdsoParams params;
};

/// The vDSO's symbol `name`, from its dynamic symbol table, or null.
void* vdso_symbol([[maybe_unused]] const char* name) noexcept {
#if defined(__linux__)
    const auto base = static_cast<uintptr_t>(getauxval(AT_SYSINFO_EHDR));
    if (base == 0) return nullptr;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(base + header->e_phoff);
    uintptr_t load = 0;
    bool loaded = false;
    const ElfW(Dyn)* dynamic = nullptr;
    for (int i = 0; i < header->e_phnum; i++) {
        if (segments[i].p_type == PT_LOAD && !loaded) {
            load = base + segments[i].p_offset - segments[i].p_vaddr;
            loaded = true;
        } else if (segments[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + segments[i].p_offset);
        }
    }
    if (!loaded || dynamic == nullptr) return nullptr;
    const ElfW(Sym)* symbols = nullptr;
    const char* strings = nullptr;
    const ElfW(Word)* hash = nullptr;
    for (; dynamic->d_tag != DT_NULL; dynamic++) {
        if (dynamic->d_tag == DT_SYMTAB) symbols = reinterpret_cast<const ElfW(Sym)*>(load + dynamic->d_un.d_ptr);
        if (dynamic->d_tag == DT_STRTAB) strings = reinterpret_cast<const char*>(load + dynamic->d_un.d_ptr);
        if (dynamic->d_tag == DT_HASH) hash = reinterpret_cast<const ElfW(Word)*>(load + dynamic->d_un.d_ptr);
    }
    if (symbols == nullptr || strings == nullptr || hash == nullptr) return nullptr;
    for (ElfW(Word) i = 0; i < hash[1]; i++) {  // hash[1]: the number of symbols
        const ElfW(Sym)& symbol = symbols[i];
        if (symbol.st_shndx != SHN_UNDEF && ELF64_ST_TYPE(symbol.st_info) == STT_FUNC &&
            std::strcmp(strings + symbol.st_name, name) == 0)
            return reinterpret_cast<void*>(load + symbol.st_value);
    }
#endif
    return nullptr;
}

Vdso find_vdso() noexcept {
    Vdso found;
#if defined(__x86_64__)
    auto read = reinterpret_cast<VdsoGetrandom>(vdso_symbol("__vdso_getrandom"));
#elif defined(__aarch64__)
    auto read = reinterpret_cast<VdsoGetrandom>(vdso_symbol("__kernel_getrandom"));
#else
    VdsoGetrandom read = nullptr;
#endif
    // Asked with no buffer and a state size of ~0, it describes the state it needs.
    if (read != nullptr && read(nullptr, 0, 0, &found.params, ~size_t{0}) == 0 && found.params.size_of_opaque_state != 0)
        found.read = read;
    return found;
}

/// The vDSO's getrandom, found once: it is the same for the whole process.
const Vdso& vdso() noexcept {
    static const Vdso found = find_vdso();
    return found;
}

/// Each interpreter's state for the vDSO's getrandom, which must not be used by two threads at
/// once: the GIL of its interpreter is held around every use. The kernel lays it out and keeps it:
/// the memory is wiped in a forked copy of the process and the state is reseeded after the system's
/// pool is (a restored virtual machine, for one), so no copy repeats the bytes of another.
struct VdsoState {
    void* memory = nullptr;
    size_t mapped = 0;
    bool refused = false;  // the memory could not be had: the system call serves this interpreter

    VdsoState() = default;
    VdsoState(const VdsoState&) = delete;
    VdsoState& operator=(const VdsoState&) = delete;
    ~VdsoState() {
        if (memory != nullptr) munmap(memory, mapped);
    }

    void* get(const Vdso& v) noexcept {
        if (memory != nullptr || refused) return memory;
        const long page = sysconf(_SC_PAGESIZE);
        const size_t size = v.params.size_of_opaque_state;
        mapped = page > 0 ? (size + static_cast<size_t>(page) - 1) / static_cast<size_t>(page) * static_cast<size_t>(page) : size;
        void* p = mmap(nullptr, mapped, static_cast<int>(v.params.mmap_prot), static_cast<int>(v.params.mmap_flags), -1, 0);
        if (p == MAP_FAILED) {
            refused = true;
            return nullptr;
        }
        return memory = p;
    }
};
PerContext<VdsoState> vdso_state;

/// As many bytes as the vDSO gives without waiting (all of them once the system's pool is
/// initialised); 0 where it gives none, and the system call is asked instead.
size_t read_vdso(unsigned char* bytes, size_t size) noexcept {
    const Vdso& v = vdso();
    if (v.read == nullptr) return 0;
    void* state = vdso_state->get(v);
    if (state == nullptr) return 0;
    const ssize_t n = v.read(bytes, size, GRND_NONBLOCK, state, v.params.size_of_opaque_state);
    return n > 0 ? static_cast<size_t>(n) : 0;  // an error comes back as -errno; the system call tells it
}

}  // namespace

bool os_random_available() noexcept { return getrandom_works.load(std::memory_order_relaxed); }

/// As os.urandom(size) reads (Python/bootstrap_hash.c): a partial read or EINTR is read on (a
/// signal's handler runs first and may raise), any other error is OSError from errno. Once the
/// system's pool is initialised getrandom never blocks, so it is first asked not to, with the GIL
/// held; before that it is waited on with the GIL released, as os.urandom waits.
bool read_os_random(unsigned char* bytes, size_t size) {
    if (!getrandom_works.load(std::memory_order_relaxed)) return false;
    size_t filled = read_vdso(bytes, size);
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
