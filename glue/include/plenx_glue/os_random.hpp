// plenx_glue/os_random.hpp: fresh random bytes from the operating system, as os.urandom reads them.
//
// Nothing is kept between reads: every read asks the kernel.
#pragma once

#include <cstddef>

namespace glue {

/// Fills `bytes` with random bytes from the kernel right now, as os.urandom(size) does; false,
/// with nothing done, where getrandom is unavailable (os.urandom then reads /dev/urandom).
bool read_os_random(unsigned char* bytes, size_t size);

/// Whether getrandom serves this process (until a read has found it unavailable).
bool os_random_available() noexcept;

}  // namespace glue
