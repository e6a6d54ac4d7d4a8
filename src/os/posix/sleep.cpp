// Sleep with Windows semantics: 0 yields, OS_INFINITE never returns, otherwise at least the
// requested milliseconds on the monotonic clock, resumed after signals.
#include <cerrno>
#include <ctime>

#include "os/os.h"
#include "os/posix/syscalls.h"

void os_sleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    os_yield();
    return;
  }
  if (milliseconds == OS_INFINITE) {
    for (;;) {
      const timespec day{86400, 0};
      os_sys.clock_nanosleep(CLOCK_MONOTONIC, 0, &day, nullptr);
    }
  }
  timespec deadline{};
  if (os_sys.clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
    // No reading of the clock: a relative sleep, resumed with what a signal left of it.
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (os_sys.clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
    }
    return;
  }
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // An absolute deadline resumes correctly after a signal.
  while (os_sys.clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void os_yield() {
  os_sys.sched_yield();
}
