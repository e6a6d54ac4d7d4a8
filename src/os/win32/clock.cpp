// Performance counter and the processor's nominal rate as the registry records it.
#include <windows.h>

#include "os/os.h"
#include "os/win32/syscalls.h"

int64_t os_queryPerformanceCounter() {
  LARGE_INTEGER count{};
  os_sys.QueryPerformanceCounter(&count);
  return count.QuadPart;
}

bool os_queryPerformanceFrequency(int64_t* frequency) {
  LARGE_INTEGER value{};
  if (!os_sys.QueryPerformanceFrequency(&value)) return false;
  *frequency = value.QuadPart;
  return true;
}

bool os_processorNominalMHz(uint32_t* mhz) {
  HKEY key = nullptr;
  LSTATUS status =
      os_sys.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0",
                           0, KEY_QUERY_VALUE, &key);
  if (status != ERROR_SUCCESS) return false;
  DWORD type = 0;
  DWORD value = 0;
  DWORD size = sizeof value;
  status =
      os_sys.RegQueryValueExA(key, "~MHz", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
  os_sys.RegCloseKey(key);
  if (status != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) return false;
  *mhz = value;
  return true;
}
