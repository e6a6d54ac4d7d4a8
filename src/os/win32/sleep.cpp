// Sleep already has the layer's semantics: 0 gives up the time slice, INFINITE never returns.
#include <windows.h>

#include "os/os.h"
#include "os/win32/syscalls.h"

void os_sleep(uint32_t milliseconds) {
  os_sys.Sleep(milliseconds);
}

void os_yield() {
  os_sys.SwitchToThread();
}
