// The calling thread's last error, as the Windows calls report it.
#include "os/posix/last_error.h"

#include <cerrno>

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

namespace os_posix {

uint32_t windowsError(int error) {
  switch (error) {
    case ENOENT:
    case ELOOP:
      return OS_ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return OS_ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return OS_ERROR_ACCESS_DENIED;
    case EBADF:
      return OS_ERROR_INVALID_HANDLE;
    case EINVAL:
    case ENAMETOOLONG:
      return OS_ERROR_INVALID_PARAMETER;
    default:
      // Exhausted descriptors, memory, locks or space; failed devices.
      return OS_ERROR_NOT_ENOUGH_MEMORY;
  }
}

void setLastErrorFromErrno(int error) {
  os_setLastError(windowsError(error));
}

}  // namespace os_posix
