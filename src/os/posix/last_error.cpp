// The calling thread's last error, as the Windows calls report it.
#include "os/os.h"

namespace {

thread_local uint32_t t_lastError = OS_ERROR_SUCCESS;

}  // namespace

uint32_t os_getLastError() {
  return t_lastError;
}

void os_setLastError(uint32_t error) {
  t_lastError = error;
}
