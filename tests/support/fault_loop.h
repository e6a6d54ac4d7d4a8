// Failure-path sweeps with the library's simulated out-of-memory: the operation runs with its
// 1st, 2nd, ... allocation failing, until a run meets no failure. Every later allocation fails
// too unless the one-shot threshold is on (csys_memory_setOutOfMemoryOnce). The sanitizer leg
// catches anything leaked on the way.
#pragma once

#include <gtest/gtest.h>

#include <type_traits>

#include "csys_memory.h"

namespace pmtsys_test {

// `check(status, injected)` follows every run, the last one (which met no failure) included;
// returns how many allocations that run needed. With a check of no arguments, the classic form:
// each failed run must return the out-of-memory status and leave things as they were, which
// check() looks at, and the first successful run ends the sweep.
// `prepare` runs before each run, ahead of the threshold.
template <typename Operation, typename Check, typename Prepare = void (*)()>
uint32_t sweepAllocationFailures(
    Operation operation, Check check, Prepare prepare = [] {}) {
  for (uint32_t failAt = 1; failAt < 1000; ++failAt) {
    prepare();
    csys_memory_allocCountReset();
    csys_memory_allocCountSetOutOfMemory(failAt);
    const csys_status status = operation();
    csys_memory_allocCountSetOutOfMemory(0);
    uint32_t used = 0;
    csys_memory_allocCountGet(&used);
    if constexpr (std::is_invocable_v<Check, csys_status, bool>) {
      SCOPED_TRACE(testing::Message() << "allocation " << failAt);
      check(status, used >= failAt);
      if (used < failAt || testing::Test::HasFailure()) return used;
    } else {
      if (!CSYS_FAILED(status)) return failAt - 1;
      EXPECT_EQ(status, CSYS_E_OUT_OF_MEMORY) << "allocation " << failAt;
      check();
    }
  }
  ADD_FAILURE() << "no run succeeded";
  return 0;
}

}  // namespace pmtsys_test
