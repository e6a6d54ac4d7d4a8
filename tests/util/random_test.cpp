// The per-thread generator: known first values, independence of threads, and what a thread gets
// when its state cannot be allocated.
#include <gtest/gtest.h>

#include <vector>

#include "cmath_rand.h"
#include "csys_memory.h"
#include "csys_thread.h"
#include "support/report_capture.h"

namespace {

struct Draw {
  bool seeded;
  uint32_t seed;
  std::vector<int32_t> values;  // 0 to 32767, or -1
};

uint32_t drawInThread(void* arg) {
  auto* draw = static_cast<Draw*>(arg);
  if (draw->seeded) cmath_srand(draw->seed);
  for (int32_t& value : draw->values) value = cmath_rand();
  return 0;
}

// Runs each draw in a library thread of its own, all at once.
void drawInThreads(std::vector<Draw>& draws) {
  std::vector<csys_thread> threads(draws.size());
  for (size_t i = 0; i < draws.size(); ++i) {
    ASSERT_EQ(csys_thread_construct(&threads[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(drawInThread, &draws[i], nullptr, &threads[i]), CSYS_OK);
  }
  for (csys_thread& thread : threads) {
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);
  }
}

std::vector<int32_t> reference(uint32_t state, size_t count) {
  std::vector<int32_t> values(count);
  for (int32_t& value : values) {
    state = state * 214013u + 2531011u;
    value = static_cast<int32_t>((state >> 16) & 0x7FFFu);
  }
  return values;
}

TEST(Random, ThreadsDrawIndependentSequencesFromTheirOwnSeeds) {
  std::vector<Draw> draws = {{false, 0, {}},
                             {true, 1, {}},
                             {true, 0, {}},
                             {true, 0xDEADBEEFu, {}},
                             {true, 0xDEADBEEFu, {}}};
  for (Draw& draw : draws) draw.values.resize(5000);
  drawInThreads(draws);
  EXPECT_EQ(draws[0].values[0], 41);
  EXPECT_EQ(draws[2].values[0], 38);
  for (const Draw& draw : draws) {
    EXPECT_EQ(draw.values, reference(draw.seeded ? draw.seed : 1, draw.values.size()));
  }
}

struct Sweep {
  uint32_t failAt;
  int32_t first;
};

uint32_t drawWithFailingAllocation(void* arg) {
  auto* sweep = static_cast<Sweep*>(arg);
  csys_memory_allocCountReset();
  csys_memory_allocCountSetOutOfMemory(sweep->failAt);
  sweep->first = cmath_rand();
  csys_memory_allocCountSetOutOfMemory(0);
  return 0;
}

// Each failing allocation on the way to a thread's state is reported and gives -1; the sanitizer
// leg catches a state block left behind when storing it fails.
TEST(Random, StateThatCannotBeHadReportsAndGivesMinusOne) {
  pmtsys_test::AssertCapture asserts;
  Sweep sweep{1, -1};
  for (; sweep.failAt < 20; ++sweep.failAt) {
    csys_thread thread{};
    ASSERT_EQ(csys_thread_construct(&thread), CSYS_OK);
    ASSERT_EQ(csys_thread_create(drawWithFailingAllocation, &sweep, nullptr, &thread), CSYS_OK);
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);
    if (sweep.first != -1) break;
    EXPECT_GE(asserts.count(), sweep.failAt);
  }
  EXPECT_EQ(sweep.first, 41);
  EXPECT_GT(sweep.failAt, 1u);
}

}  // namespace
