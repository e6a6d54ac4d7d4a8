// Processor affinity as 64-bit masks (processors 0-63), shared by the system-information and the
// thread calls of the POSIX backend.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace os_posix {

// Gives `thread` (0: the calling thread) the processors of `mask`. Returns the mask it had
// (~0 when it held only processors above 63), or 0 with the last error set.
uint64_t swapThreadAffinity(pid_t thread, uint64_t mask);

}  // namespace os_posix
