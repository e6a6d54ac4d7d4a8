// Atomic read-modify-write and sleep: exact values under contention, full-width pointers, and
// the rounding and range rules of sleep.
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

TEST(Atomic, ReportedValuesAreExact) {
  int32_t value = 5;
  EXPECT_EQ(csys_atomicIncrement(&value, nullptr), CSYS_OK);
  EXPECT_EQ(value, 6);
  int32_t result = 0;
  value = 1;
  csys_atomicDecrement(&value, &result);
  EXPECT_EQ(result, 0);
  value = 7;
  int32_t old = 0;
  csys_atomicExchange(&value, 9, &old);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(old, 7);
  value = INT32_MAX;
  csys_atomicIncrement(&value, &result);
  EXPECT_EQ(result, INT32_MIN);  // wraps like the platform's interlocked increment
  // Pointer slots exchange whole 64-bit values.
  void* slot = reinterpret_cast<void*>(uintptr_t{0x123456789ABCDEF0});
  void* swapped = reinterpret_cast<void*>(uintptr_t{0x0FEDCBA987654321});
  csys_atomicExchangePtr(&slot, &swapped);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(slot), uintptr_t{0x0FEDCBA987654321});
  EXPECT_EQ(reinterpret_cast<uintptr_t>(swapped), uintptr_t{0x123456789ABCDEF0});
}

TEST(Atomic, OnlyOneThreadTakesAClaimCounterToZero) {
  for (int round = 0; round < 50; ++round) {
    int32_t claims = 1;
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        int32_t now = 0;
        csys_atomicDecrement(&claims, &now);
        if (now == 0) ++winners;
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(winners.load(), 1);
    ASSERT_EQ(claims, -3);
  }
}

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
