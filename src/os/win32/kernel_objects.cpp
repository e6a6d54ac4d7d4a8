// Mutexes, semaphores and events are the system's own objects; an os_handle is the HANDLE. The
// system already answers as the layer promises (ERROR_ALREADY_EXISTS for an existing name, one
// namespace for all three types, synchronize-only access for opened objects).
#include <windows.h>

#include "os/os.h"
#include "os/win32/handle_cast.h"

os_handle os_createMutex(bool initialOwner, const char* name) {
  return toHandle(CreateMutexA(nullptr, initialOwner, name));
}

os_handle os_createSemaphore(int32_t initialCount, int32_t maximumCount, const char* name) {
  return toHandle(CreateSemaphoreA(nullptr, initialCount, maximumCount, name));
}

os_handle os_createEvent(bool manualReset, bool initialState, const char* name) {
  return toHandle(CreateEventA(nullptr, manualReset, initialState, name));
}

os_handle os_openMutex(const char* name) {
  return toHandle(OpenMutexA(SYNCHRONIZE, FALSE, name));
}

os_handle os_openSemaphore(const char* name) {
  return toHandle(OpenSemaphoreA(SYNCHRONIZE, FALSE, name));
}

os_handle os_openEvent(const char* name) {
  return toHandle(OpenEventA(SYNCHRONIZE, FALSE, name));
}

bool os_closeHandle(os_handle handle) {
  return CloseHandle(native(handle)) != FALSE;
}

bool os_releaseMutex(os_handle mutex) {
  return ReleaseMutex(native(mutex)) != FALSE;
}

// Windows refuses a count below 1 with ERROR_INVALID_PARAMETER; Wine accepts 0, so the check
// is made here.
bool os_releaseSemaphore(os_handle semaphore, int32_t releaseCount, int32_t* previousCount) {
  if (releaseCount < 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  LONG previous = 0;
  const BOOL released = ReleaseSemaphore(native(semaphore), releaseCount, &previous);
  if (released && previousCount != nullptr) *previousCount = previous;
  return released != FALSE;
}

bool os_setEvent(os_handle event) {
  return SetEvent(native(event)) != FALSE;
}

bool os_resetEvent(os_handle event) {
  return ResetEvent(native(event)) != FALSE;
}

uint32_t os_waitForSingleObject(os_handle handle, uint32_t milliseconds) {
  return WaitForSingleObject(native(handle), milliseconds);
}

// An os_handle array is laid out as a HANDLE array: both are arrays of pointers.
uint32_t os_waitForAnyObject(uint32_t count, const os_handle* handles, uint32_t milliseconds) {
  static_assert(sizeof(os_handle) == sizeof(HANDLE));
  return WaitForMultipleObjects(count, reinterpret_cast<const HANDLE*>(handles), FALSE,
                                milliseconds);
}
