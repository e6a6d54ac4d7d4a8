#include "os/posix/syscalls.h"

#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

int sysOpen(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}

constexpr os_posixSyscalls kDefaults = {
    ::dladdr, ::dl_iterate_phdr, ::realpath,        sysOpen,       ::close,
    ::fstat,  ::pread,           ::clock_nanosleep, ::sched_yield,
};

}  // namespace

os_posixSyscalls os_sys = kDefaults;

void os_posixSyscallsReset() {
  os_sys = kDefaults;
}
