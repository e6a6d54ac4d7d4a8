// System information, processor affinity and the version: pass-throughs to kernel32.
#include <cstring>

#include "os/os.h"
#include "os/win32/syscalls.h"

#include <psapi.h>

void os_getSystemInfo(os_systemInfo* info) {
  SYSTEM_INFO system{};
  os_sys.GetSystemInfo(&system);
  info->processorArchitecture = system.wProcessorArchitecture;
  info->numberOfProcessors = system.dwNumberOfProcessors;
  info->activeProcessorMask = system.dwActiveProcessorMask;
}

bool os_getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask) {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!os_sys.GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
  *processMask = process;
  *systemMask = system;
  return true;
}

uint64_t os_setCurrentThreadAffinityMask(uint64_t mask) {
  return os_sys.SetThreadAffinityMask(GetCurrentThread(), static_cast<DWORD_PTR>(mask));
}

bool os_isProcessorFeaturePresent(uint32_t feature) {
  return os_sys.IsProcessorFeaturePresent(feature) != FALSE;
}

bool os_getVersion(os_versionInfo* info) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (!os_sys.GetVersionExA(&version)) return false;
  info->majorVersion = version.dwMajorVersion;
  info->minorVersion = version.dwMinorVersion;
  info->buildNumber = version.dwBuildNumber;
  info->platformId = version.dwPlatformId;
  static_assert(sizeof info->servicePack == sizeof version.szCSDVersion);
  std::memcpy(info->servicePack, version.szCSDVersion, sizeof info->servicePack);
  info->servicePack[sizeof info->servicePack - 1] = '\0';
  return true;
}

bool os_peakWorkingSetBytes(uint64_t* bytes) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return false;
  *bytes = counters.PeakWorkingSetSize;
  return true;
}
