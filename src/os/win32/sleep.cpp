// Sleep already has the layer's semantics: 0 gives up the time slice, INFINITE never returns.
#include <windows.h>

#include "os/os.h"

void os_sleep(uint32_t milliseconds) {
  Sleep(milliseconds);
}

void os_yield() {
  SwitchToThread();
}
