#include "os/win32/syscalls.h"

namespace {

constexpr os_win32Syscalls kDefaults = {
    ::Sleep, ::SwitchToThread, ::VirtualQuery, ::GetModuleHandleA, ::GetModuleFileNameA,
};

}  // namespace

os_win32Syscalls os_sys = kDefaults;

void os_win32SyscallsReset() {
  os_sys = kDefaults;
}
