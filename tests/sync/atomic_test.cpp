// Sleep: the rounding and range rules, and sleeping without end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "csys_atomic.h"
#include "support/os_faults.h"

namespace {

// The OS sleep records what it is asked for instead of sleeping.
class Sleep : public ::testing::Test {
 protected:
  void TearDown() override { pmtsys_test::restoreOsCalls(); }
  const pmtsys_test::OsSleeps& sleeps_ = pmtsys_test::recordOsSleeps();
};

TEST_F(Sleep, RoundsToMillisecondsWithAOneMillisecondFloor) {
  EXPECT_EQ(csys_sleep(0.0002), CSYS_OK);
  EXPECT_EQ(csys_sleep(1.0049), CSYS_OK);
  EXPECT_EQ(csys_sleep(0.0015), CSYS_OK);
  ASSERT_EQ(sleeps_.milliseconds.size(), 3u);
  EXPECT_EQ(sleeps_.milliseconds[0], 1);
  EXPECT_EQ(sleeps_.milliseconds[1], 1005);
  EXPECT_EQ(sleeps_.milliseconds[2], 2);
  EXPECT_EQ(csys_sleep(0.0), CSYS_OK);
  EXPECT_EQ(sleeps_.yields, 1);
  EXPECT_EQ(sleeps_.milliseconds.size(), 3u);
}

TEST_F(Sleep, RefusesNegativeAndNotANumber) {
  EXPECT_EQ(csys_sleep(-1.0), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_sleep(-0.0001), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_sleep(std::nan("")), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_sleep(-std::numeric_limits<double>::infinity()), CSYS_E_INVALID_ARGUMENT);
  EXPECT_TRUE(sleeps_.milliseconds.empty());
  EXPECT_EQ(sleeps_.yields, 0);
}

TEST_F(Sleep, LongDurationsAreNotWrappedIntoShortOnes) {
  // 2^32 ms and a bit: two pieces, never a short sleep of the remainder alone.
  EXPECT_EQ(csys_sleep(4294967.296 + 10.0), CSYS_OK);
  ASSERT_EQ(sleeps_.milliseconds.size(), 2u);
  EXPECT_EQ(sleeps_.milliseconds[0], 4294967294LL);
  EXPECT_EQ(sleeps_.milliseconds[1], 10002);
}

TEST(SleepReal, SleepsAtLeastTheRequestedTime) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(csys_sleep(0.02), CSYS_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST(SleepReal, InfinitySleepsWithoutEnd) {
  std::atomic<bool> returned{false};
  std::thread sleeper([&] {
    csys_sleep(std::numeric_limits<double>::infinity());
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  sleeper.detach();  // the process ends with it still asleep
}

}  // namespace
