// The performance counter is CLOCK_MONOTONIC in nanoseconds: steady, never set back, and its
// fixed frequency of 10^9 fits the 32 bits callers hold rates in.
#include <ctime>

#include "os/os.h"
#include "os/posix/syscalls.h"

namespace {
constexpr int64_t kNanosecondsPerSecond = 1000000000;
}  // namespace

int64_t os_queryPerformanceCounter() {
  timespec now{};
  os_sys.clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
}

bool os_queryPerformanceFrequency(int64_t* frequency) {
  timespec resolution{};
  if (os_sys.clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  *frequency = kNanosecondsPerSecond;
  return true;
}

bool os_processorNominalMHz(uint32_t* mhz) {
  return os_sys.processorNominalMHz(mhz);
}
