// An os_handle of the Windows backend is the system's HANDLE itself.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

#include "os/os.h"

// Handles this backend opened and has not closed yet (os_openHandleCount); defined with the
// kernel objects, whose close gives every handle back.
extern std::atomic<size_t> os_win32OpenHandles;

inline os_handle toHandle(HANDLE handle) {
  if (handle != nullptr) os_win32OpenHandles.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<os_handle>(handle);
}

inline HANDLE native(os_handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
