// The per-thread generator, each draw in a library thread of its own: known values and
// independent seeds per thread; a foreign thread's cached state after it lets the library go.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "cmath_rand.h"
#include "csys_thread.h"

namespace {

struct Draw {
  int64_t seed;  // -1: not seeded
  std::vector<int32_t> values = std::vector<int32_t>(3000);
  csys_thread thread{};
};

TEST(Random, ThreadsDrawTheirOwnSequences) {
  std::vector<Draw> draws{{-1}, {1}, {0}, {0xDEADBEEF}, {0xDEADBEEF}};
  const csys_threadFunc draw = [](void* arg) -> uint32_t {
    auto* d = static_cast<Draw*>(arg);
    if (d->seed >= 0) cmath_srand(static_cast<uint32_t>(d->seed));
    for (int32_t& value : d->values) value = cmath_rand();
    return 0;
  };
  for (Draw& d : draws) {  // all at once
    ASSERT_EQ(csys_thread_construct(&d.thread) | csys_thread_create(draw, &d, nullptr, &d.thread),
              0);
  }
  for (Draw& d : draws) {
    EXPECT_EQ(csys_thread_waitForTermination(&d.thread) | csys_thread_destruct(&d.thread), 0);
    auto state = static_cast<uint32_t>(d.seed < 0 ? 1 : d.seed);
    for (const int32_t value : d.values) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(value, static_cast<int32_t>((state >> 16) & 0x7FFFu)) << d.seed;
    }
  }
  EXPECT_EQ(std::make_pair(draws[0].values[0], draws[2].values[0]), std::make_pair(41, 38));
}

// The draw caches the thread's state block; cleaning the thread up frees that block, so a later
// draw must start a fresh state, not read the freed one (the sanitizer leg sees a stale read).
TEST(Random, AForeignThreadDrawsAfreshAfterItsCleanup) {
  std::thread([] {
    cmath_srand(7);
    EXPECT_NE(cmath_rand(), 41);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
    EXPECT_EQ(cmath_rand(), 41);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
  }).join();
}

}  // namespace
