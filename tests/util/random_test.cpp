// The per-thread generator, each case in a library thread of its own: known values, independent
// seeds, and -1 (after a report) when an allocation on the way to the state fails.
#include <gtest/gtest.h>

#include <vector>

#include "cmath_rand.h"
#include "csys_memory.h"
#include "csys_thread.h"
#include "support/report_capture.h"

namespace {

struct Draw {
  int64_t seed;     // -1: not seeded
  uint32_t failAt;  // the allocation that fails, 0 for none
  std::vector<int32_t> values = std::vector<int32_t>(3000);
};

uint32_t draw(void* arg) {
  auto* d = static_cast<Draw*>(arg);
  csys_memory_allocCountReset();
  csys_memory_allocCountSetOutOfMemory(d->failAt);
  if (d->seed >= 0) cmath_srand(static_cast<uint32_t>(d->seed));
  for (int32_t& value : d->values) value = cmath_rand();
  csys_memory_allocCountSetOutOfMemory(0);
  return 0;
}

TEST(Random, ThreadsDrawTheirOwnSequencesAndFailedStatesGiveMinusOne) {
  pmtsys_test::AssertCapture asserts;
  std::vector<Draw> draws;
  for (uint32_t failAt = 1; failAt < 20; ++failAt) draws.push_back({-1, failAt});
  draws.insert(draws.end(), {{-1, 0}, {1, 0}, {0, 0}, {0xDEADBEEF, 0}, {0xDEADBEEF, 0}});
  std::vector<csys_thread> threads(draws.size());
  for (size_t i = 0; i < draws.size(); ++i) {  // the failing ones one at a time, first
    ASSERT_EQ(csys_thread_construct(&threads[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(draw, &draws[i], nullptr, &threads[i]), CSYS_OK);
    if (draws[i].failAt != 0) {
      EXPECT_EQ(csys_thread_waitForTermination(&threads[i]), CSYS_OK);
    }
  }
  size_t failed = 0;
  for (size_t i = 0; i < draws.size(); ++i) {
    EXPECT_EQ(csys_thread_waitForTermination(&threads[i]) | csys_thread_destruct(&threads[i]), 0);
    auto state = static_cast<uint32_t>(draws[i].seed < 0 ? 1 : draws[i].seed);
    failed += draws[i].values[0] == -1 ? 1 : 0;
    if (draws[i].values[0] == -1) continue;
    for (const int32_t value : draws[i].values) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(value, static_cast<int32_t>((state >> 16) & 0x7FFFu)) << i;
    }
  }
  EXPECT_EQ(std::make_pair(draws[19].values[0], draws[21].values[0]), std::make_pair(41, 38));
  EXPECT_TRUE(failed > 0 && draws[failed].values[0] == 41 && asserts.count() >= failed);
}

}  // namespace
