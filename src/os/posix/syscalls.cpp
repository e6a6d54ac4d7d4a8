#include "os/posix/syscalls.h"

constinit os_posixSyscalls os_sys;

void os_posixSyscallsReset() {
  os_sys = os_posixSyscalls{};
}
