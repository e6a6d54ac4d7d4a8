#include "support/os_faults.h"

#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

namespace pmtsys_test {
namespace {
OsSleeps g_sleeps;
}  // namespace

#if defined(_WIN32)

namespace {

// Sleep(0) is how the backend gives up the time slice.
VOID WINAPI recordSleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    ++g_sleeps.yields;
  } else {
    g_sleeps.milliseconds.push_back(milliseconds);
  }
}

BOOL WINAPI recordYield() {
  ++g_sleeps.yields;
  return TRUE;
}

void installSleepRecorder() {
  os_sys.Sleep = recordSleep;
  os_sys.SwitchToThread = recordYield;
}

}  // namespace

void failModulePathLookup() {
  os_sys.GetModuleFileNameA = [](HMODULE, LPSTR, DWORD) -> DWORD {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  };
}

void failModuleLookup() {
  os_sys.VirtualQuery = [](LPCVOID, PMEMORY_BASIC_INFORMATION, SIZE_T) -> SIZE_T {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  };
}

void restoreOsCalls() {
  os_win32SyscallsReset();
}

#else

namespace {

// The backend sleeps to an absolute deadline on the monotonic clock, or for a relative time.
int recordSleep(clockid_t, int flags, const timespec* request, timespec*) {
  timespec now{};
  if (flags != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ns =
      (request->tv_sec - now.tv_sec) * 1000000000LL + (request->tv_nsec - now.tv_nsec);
  g_sleeps.milliseconds.push_back((ns + 500000) / 1000000);
  return 0;
}

int recordYield() {
  ++g_sleeps.yields;
  return 0;
}

void installSleepRecorder() {
  os_sys.clock_nanosleep = recordSleep;
  os_sys.sched_yield = recordYield;
}

}  // namespace

// The main program's path comes from resolving /proc/self/exe.
void failModulePathLookup() {
  os_sys.realpath = [](const char*, char*) -> char* { return nullptr; };
}

void failModuleLookup() {
  os_sys.dladdr = [](const void*, Dl_info*) { return 0; };
}

void restoreOsCalls() {
  os_posixSyscallsReset();
}

#endif

const OsSleeps& recordOsSleeps() {
  g_sleeps = {};
  installSleepRecorder();
  return g_sleeps;
}

}  // namespace pmtsys_test
