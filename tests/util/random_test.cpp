// The per-thread generator, each case in a library thread of its own: known values, independent
// seeds, and the -1 (after a report) when an allocation on the way to the state fails.
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
  std::vector<int32_t> values;
};

uint32_t draw(void* arg) {
  auto* d = static_cast<Draw*>(arg);
  if (d->failAt != 0) {
    csys_memory_allocCountReset();
    csys_memory_allocCountSetOutOfMemory(d->failAt);
  }
  if (d->seed >= 0) cmath_srand(static_cast<uint32_t>(d->seed));
  for (int32_t& value : d->values) value = cmath_rand();
  csys_memory_allocCountSetOutOfMemory(0);
  return 0;
}

void inThreads(std::vector<Draw>& draws) {
  std::vector<csys_thread> threads(draws.size());
  for (size_t i = 0; i < draws.size(); ++i) {
    ASSERT_EQ(csys_thread_construct(&threads[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(draw, &draws[i], nullptr, &threads[i]), CSYS_OK);
  }
  for (csys_thread& thread : threads) {
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);
  }
}

TEST(Random, ThreadsDrawTheirOwnSequencesAndFailedStatesGiveMinusOne) {
  std::vector<Draw> draws = {
      {-1, 0, {}}, {1, 0, {}}, {0, 0, {}}, {0xDEADBEEF, 0, {}}, {0xDEADBEEF, 0, {}}};
  for (Draw& d : draws) d.values.resize(5000);
  inThreads(draws);
  EXPECT_EQ(std::make_pair(draws[0].values[0], draws[2].values[0]), std::make_pair(41, 38));
  for (const Draw& d : draws) {
    auto state = static_cast<uint32_t>(d.seed < 0 ? 1 : d.seed);
    for (const int32_t value : d.values) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(value, static_cast<int32_t>((state >> 16) & 0x7FFFu));
    }
  }
  pmtsys_test::AssertCapture asserts;
  for (uint32_t failAt = 1;; ++failAt) {
    std::vector<Draw> failing(1, Draw{-1, failAt, {0}});
    inThreads(failing);  // the sanitizer leg sees a state block left behind
    if (failing[0].values[0] != -1) {
      EXPECT_EQ(std::make_pair(failing[0].values[0], failAt > 1), std::make_pair(41, true));
      break;
    }
    EXPECT_GE(asserts.count(), failAt);
  }
}

}  // namespace
