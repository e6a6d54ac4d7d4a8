// Failure-path sweeps with the library's simulated out-of-memory: the operation runs with its
// 1st, 2nd, ... allocation failing (and every later one) until a run meets no failure. Each
// failed run must return the out-of-memory status and leave things as they were, which
// `unchanged` checks; the sanitizer leg catches anything leaked on the way.
#pragma once

#include <gtest/gtest.h>

#include "csys_memory.h"

namespace pmtsys_test {

// Returns how many allocations the successful run needed (0 if no run succeeded).
template <typename Operation, typename Check>
uint32_t sweepAllocationFailures(Operation operation, Check unchanged) {
  for (uint32_t failAt = 1; failAt < 1000; ++failAt) {
    csys_memory_allocCountReset();
    csys_memory_allocCountSetOutOfMemory(failAt);
    const csys_status status = operation();
    csys_memory_allocCountSetOutOfMemory(0);
    if (!CSYS_FAILED(status)) return failAt - 1;
    EXPECT_EQ(status, CSYS_E_OUT_OF_MEMORY) << "allocation " << failAt;
    unchanged();
  }
  ADD_FAILURE() << "no run succeeded";
  return 0;
}

}  // namespace pmtsys_test
