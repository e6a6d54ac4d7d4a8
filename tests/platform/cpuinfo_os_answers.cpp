#include "cpuinfo_os_answers.h"

#include <cstring>

#include "os/os.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include <errno.h>

#include "os/posix/syscalls.h"
#endif

namespace pmtsys_test {
namespace {

uint16_t g_architecture;
uint32_t g_processors;
std::vector<uint64_t> g_affinity;
size_t g_failAt;

// The request is recorded; true when it is the one to fail.
bool recordRequest(uint64_t mask) {
  g_affinity.push_back(mask);
  return g_affinity.size() == g_failAt;
}

}  // namespace

#if defined(_WIN32)

void answerSystemInfo(uint16_t architecture, uint32_t processors) {
  g_architecture = architecture;
  g_processors = processors;
  os_sys.GetSystemInfo = [](LPSYSTEM_INFO info) {
    GetSystemInfo(info);
    info->wProcessorArchitecture = g_architecture;
    info->dwNumberOfProcessors = g_processors;
  };
}

void failVersionQuery() {
  os_sys.GetVersionExA = [](LPOSVERSIONINFOA) -> BOOL {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  };
}

const std::vector<uint64_t>& recordAffinityChanges(size_t failAt) {
  g_affinity.clear();
  g_failAt = failAt;
  os_sys.SetThreadAffinityMask = [](HANDLE thread, DWORD_PTR mask) -> DWORD_PTR {
    if (!recordRequest(mask)) return SetThreadAffinityMask(thread, mask);
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  };
  return g_affinity;
}

#else

void answerSystemInfo(uint16_t architecture, uint32_t processors) {
  g_architecture = architecture;
  g_processors = processors;
  os_sys.sysconf = [](int) -> long { return g_processors; };
  os_sys.uname = [](utsname* name) {
    ::uname(name);
    std::strcpy(name->machine,
                g_architecture == OS_PROCESSOR_ARCHITECTURE_AMD64 ? "x86_64" : "aarch64");
    return 0;
  };
}

void failVersionQuery() {
  os_sys.uname = [](utsname*) {
    errno = EFAULT;
    return -1;
  };
}

const std::vector<uint64_t>& recordAffinityChanges(size_t failAt) {
  g_affinity.clear();
  g_failAt = failAt;
  os_sys.sched_setaffinity = [](pid_t thread, size_t size, const cpu_set_t* set) {
    uint64_t mask = 0;
    for (unsigned cpu = 0; cpu < 64; ++cpu) mask |= uint64_t{CPU_ISSET(cpu, set) ? 1u : 0u} << cpu;
    if (!recordRequest(mask)) return sched_setaffinity(thread, size, set);
    errno = EINVAL;
    return -1;
  };
  return g_affinity;
}

#endif

}  // namespace pmtsys_test
