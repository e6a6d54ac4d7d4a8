// The calling thread's last error is the system's own.
#include <windows.h>

#include "os/os.h"

uint32_t os_getLastError() {
  return GetLastError();
}

void os_setLastError(uint32_t error) {
  SetLastError(error);
}
