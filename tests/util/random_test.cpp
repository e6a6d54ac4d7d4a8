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
};

uint32_t draw(void* arg) {
  auto* d = static_cast<Draw*>(arg);
  if (d->seed >= 0) cmath_srand(static_cast<uint32_t>(d->seed));
  for (int32_t& value : d->values) value = cmath_rand();
  return 0;
}

TEST(Random, ThreadsDrawTheirOwnSequences) {
  std::vector<Draw> draws{{-1}, {1}, {0}, {0xDEADBEEF}, {0xDEADBEEF}};
  std::vector<csys_thread> threads(draws.size());
  for (size_t i = 0; i < draws.size(); ++i) {  // all at once
    ASSERT_EQ(csys_thread_construct(&threads[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(draw, &draws[i], nullptr, &threads[i]), CSYS_OK);
  }
  for (size_t i = 0; i < draws.size(); ++i) {
    EXPECT_EQ(csys_thread_waitForTermination(&threads[i]) | csys_thread_destruct(&threads[i]), 0);
    auto state = static_cast<uint32_t>(draws[i].seed < 0 ? 1 : draws[i].seed);
    for (const int32_t value : draws[i].values) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(value, static_cast<int32_t>((state >> 16) & 0x7FFFu)) << i;
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
