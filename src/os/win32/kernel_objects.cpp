// Mutexes, semaphores and events are the system's own objects; an os_handle is the HANDLE. The
// system already answers as the layer promises (ERROR_ALREADY_EXISTS for an existing name, one
// namespace for all three types, synchronize-only access for opened objects).
#include <windows.h>

#include <atomic>

#include "os/os.h"
#include "os/win32/handle_cast.h"
#include "os/win32/syscalls.h"

std::atomic<size_t> os_win32OpenHandles{0};

os_handle os_createMutex(bool initialOwner, const char* name) {
  return toHandle(os_sys.CreateMutexA(nullptr, initialOwner, name));
}

os_handle os_createSemaphore(int32_t initialCount, int32_t maximumCount, const char* name) {
  return toHandle(os_sys.CreateSemaphoreA(nullptr, initialCount, maximumCount, name));
}

os_handle os_createEvent(bool manualReset, bool initialState, const char* name) {
  return toHandle(os_sys.CreateEventA(nullptr, manualReset, initialState, name));
}

os_handle os_openMutex(const char* name) {
  return toHandle(os_sys.OpenMutexA(SYNCHRONIZE, FALSE, name));
}

os_handle os_openSemaphore(const char* name) {
  return toHandle(os_sys.OpenSemaphoreA(SYNCHRONIZE, FALSE, name));
}

os_handle os_openEvent(const char* name) {
  return toHandle(os_sys.OpenEventA(SYNCHRONIZE, FALSE, name));
}

bool os_closeHandle(os_handle handle) {
  if (os_sys.CloseHandle(native(handle)) == FALSE) return false;
  os_win32OpenHandles.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

size_t os_openHandleCount() {
  return os_win32OpenHandles.load(std::memory_order_relaxed);
}

bool os_releaseMutex(os_handle mutex) {
  return os_sys.ReleaseMutex(native(mutex)) != FALSE;
}

// Windows refuses a count below 1 with ERROR_INVALID_PARAMETER; Wine accepts 0, so the check
// is made here.
bool os_releaseSemaphore(os_handle semaphore, int32_t releaseCount, int32_t* previousCount) {
  if (releaseCount < 1) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  LONG previous = 0;
  const BOOL released = os_sys.ReleaseSemaphore(native(semaphore), releaseCount, &previous);
  if (released && previousCount != nullptr) *previousCount = previous;
  return released != FALSE;
}

bool os_setEvent(os_handle event) {
  return os_sys.SetEvent(native(event)) != FALSE;
}

bool os_resetEvent(os_handle event) {
  return os_sys.ResetEvent(native(event)) != FALSE;
}

uint32_t os_waitForSingleObject(os_handle handle, uint32_t milliseconds) {
  return os_sys.WaitForSingleObject(native(handle), milliseconds);
}

// An os_handle array is laid out as a HANDLE array: both are arrays of pointers.
uint32_t os_waitForAnyObject(uint32_t count, const os_handle* handles, uint32_t milliseconds) {
  static_assert(sizeof(os_handle) == sizeof(HANDLE));
  return os_sys.WaitForMultipleObjects(count, reinterpret_cast<const HANDLE*>(handles), FALSE,
                                       milliseconds);
}
