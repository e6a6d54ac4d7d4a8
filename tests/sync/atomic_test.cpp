// Sleep: the rounding and range rules, and sleeping without end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "csys_atomic.h"
#include "support/os_faults.h"

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The OS sleep records what it is asked for instead of sleeping. Durations round to milliseconds
// with a one-millisecond floor, zero yields, and durations past one OS sleep go in pieces
// instead of wrapping into a short one.
TEST(Sleep, RoundingRangeAndPieces) {
  const struct {
    double seconds;
    csys_status status;
    std::vector<long long> milliseconds;
    int yields;
  } cases[] = {
      {0.0002, CSYS_OK, {1}, 0},
      {1.0049, CSYS_OK, {1005}, 0},
      {0.0015, CSYS_OK, {2}, 0},
      {0.0, CSYS_OK, {}, 1},
      {4294967.296 + 10.0, CSYS_OK, {4294967294LL, 10002}, 0},
      {-1.0, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-0.0001, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {std::nan(""), CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-kInfinity, CSYS_E_INVALID_ARGUMENT, {}, 0},
  };
  for (const auto& c : cases) {
    const pmtsys_test::OsSleeps& sleeps = pmtsys_test::recordOsSleeps();
    EXPECT_EQ(csys_sleep(c.seconds), c.status) << c.seconds;
    EXPECT_EQ(sleeps.milliseconds, c.milliseconds) << c.seconds;
    EXPECT_EQ(sleeps.yields, c.yields) << c.seconds;
  }
  pmtsys_test::restoreOsCalls();
}

TEST(Sleep, RealSleepsLastAtLeastTheTimeAndInfinityNeverEnds) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(csys_sleep(0.02), CSYS_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
  std::atomic<bool> returned{false};
  std::thread sleeper([&] {
    csys_sleep(kInfinity);
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  sleeper.detach();  // the process ends with it still asleep
}

}  // namespace
