// System information, processor affinity and the version from the kernel. Linux has no
// Windows version: the kernel release's numbers stand in, under a platform of their own.
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "os/os.h"
#include "os/posix/affinity.h"
#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"
#include "os/processor.h"

namespace {

// The failed call's errno as the last error.
bool failed() {
  os_posix::setLastErrorFromErrno(errno);
  return false;
}

uint64_t lowMask(const cpu_set_t& set) {
  uint64_t mask = 0;
  for (unsigned cpu = 0; cpu < 64; ++cpu) {
    if (CPU_ISSET(cpu, &set)) mask |= uint64_t{1} << cpu;
  }
  return mask;
}

uint64_t firstProcessors(uint32_t count) {
  return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// The online processors as the kernel lists them ("0-3,6"), low 64 only; 0 when unreadable.
uint64_t onlineMask() {
  const int fd = os_sys.open("/sys/devices/system/cpu/online", O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return 0;
  char text[256];
  const ssize_t length = os_sys.pread(fd, text, sizeof text - 1, 0);
  os_sys.close(fd);
  if (length <= 0) return 0;
  text[length] = '\0';
  uint64_t mask = 0;
  for (char* cursor = text; *cursor >= '0' && *cursor <= '9';) {
    const unsigned long first = std::strtoul(cursor, &cursor, 10);
    unsigned long last = first;
    if (*cursor == '-') last = std::strtoul(cursor + 1, &cursor, 10);
    for (unsigned long cpu = first; cpu <= last && cpu < 64; ++cpu) mask |= uint64_t{1} << cpu;
    if (*cursor == ',') ++cursor;
  }
  return mask;
}

uint16_t architectureOf(const char* machine) {
  if (std::strcmp(machine, "x86_64") == 0) return OS_PROCESSOR_ARCHITECTURE_AMD64;
  if (machine[0] == 'i' && std::strcmp(machine + 2, "86") == 0) {
    return OS_PROCESSOR_ARCHITECTURE_INTEL;
  }
  if (std::strcmp(machine, "aarch64") == 0) return OS_PROCESSOR_ARCHITECTURE_ARM64;
  if (std::strncmp(machine, "arm", 3) == 0) return OS_PROCESSOR_ARCHITECTURE_ARM;
  return OS_PROCESSOR_ARCHITECTURE_UNKNOWN;
}

}  // namespace

void os_getSystemInfo(os_systemInfo* info) {
  const long online = os_sys.sysconf(_SC_NPROCESSORS_ONLN);
  info->numberOfProcessors = online > 0 ? static_cast<uint32_t>(online) : 1;
  const uint64_t mask = onlineMask();
  info->activeProcessorMask = mask != 0 ? mask : firstProcessors(info->numberOfProcessors);
  utsname name{};
  info->processorArchitecture =
      os_sys.uname(&name) == 0 ? architectureOf(name.machine) : OS_PROCESSOR_ARCHITECTURE_UNKNOWN;
}

// Linux keeps an affinity per thread; the process's is that of its main thread.
bool os_getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (os_sys.sched_getaffinity(os_sys.getpid(), sizeof set, &set) != 0) return failed();
  *processMask = lowMask(set);
  os_systemInfo system{};
  os_getSystemInfo(&system);
  *systemMask = system.activeProcessorMask;
  return true;
}

uint64_t os_posix::swapThreadAffinity(pid_t thread, uint64_t mask) {
  cpu_set_t previous;
  CPU_ZERO(&previous);
  if (os_sys.sched_getaffinity(thread, sizeof previous, &previous) != 0) return failed();
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  for (unsigned cpu = 0; cpu < 64; ++cpu) {
    if ((mask >> cpu) & 1u) CPU_SET(cpu, &wanted);
  }
  if (os_sys.sched_setaffinity(thread, sizeof wanted, &wanted) != 0) return failed();
  const uint64_t previousMask = lowMask(previous);
  return previousMask != 0 ? previousMask : ~uint64_t{0};  // only processors above 63
}

uint64_t os_setCurrentThreadAffinityMask(uint64_t mask) {
  if (mask == 0) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  return os_posix::swapThreadAffinity(0, mask);
}

// x86-64 Linux saves the vector state of every process, so a program may use every instruction
// set the processor reports.
bool os_isProcessorFeaturePresent(uint32_t feature) {
  uint32_t registers[4] = {};
  os_cpuid(1, 0, registers);
  const uint32_t ecx = registers[2], edx = registers[3];
  switch (feature) {
    case OS_PF_MMX_INSTRUCTIONS_AVAILABLE:
      return (edx >> 23) & 1u;
    case OS_PF_XMMI_INSTRUCTIONS_AVAILABLE:
      return (edx >> 25) & 1u;
    case OS_PF_XMMI64_INSTRUCTIONS_AVAILABLE:
      return (edx >> 26) & 1u;
    case OS_PF_SSE3_INSTRUCTIONS_AVAILABLE:
      return ecx & 1u;
    default:
      return false;
  }
}

bool os_getVersion(os_versionInfo* info) {
  utsname name{};
  if (os_sys.uname(&name) != 0) return failed();
  // "6.18.44-suffix": major, minor and the patch level as the build number.
  uint32_t numbers[3] = {0, 0, 0};
  char* cursor = name.release;
  for (uint32_t& number : numbers) {
    number = static_cast<uint32_t>(std::strtoul(cursor, &cursor, 10));
    if (*cursor != '.') break;
    ++cursor;
  }
  info->majorVersion = numbers[0];
  info->minorVersion = numbers[1];
  info->buildNumber = numbers[2];
  info->platformId = OS_VER_PLATFORM_POSIX;
  info->servicePack[0] = '\0';
  return true;
}

bool os_peakWorkingSetBytes(uint64_t* bytes) {
  struct rusage usage {};
  if (os_sys.getrusage(RUSAGE_SELF, &usage) != 0) {
    os_posix::setLastErrorFromErrno(errno);
    return false;
  }
  *bytes = static_cast<uint64_t>(usage.ru_maxrss) * 1024u;  // Linux counts kilobytes
  return true;
}
