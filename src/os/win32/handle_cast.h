// An os_handle of the Windows backend is the system's HANDLE itself.
#pragma once

#include <windows.h>

#include "os/os.h"

inline os_handle toHandle(HANDLE handle) {
  return reinterpret_cast<os_handle>(handle);
}

inline HANDLE native(os_handle handle) {
  return reinterpret_cast<HANDLE>(handle);
}
