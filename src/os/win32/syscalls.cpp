#include "os/win32/syscalls.h"

os_win32Syscalls os_sys;

void os_win32SyscallsReset() {
  os_sys = os_win32Syscalls{};
}
