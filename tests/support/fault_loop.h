// Failure-path sweeps with the library's simulated out-of-memory: the operation runs with its
// 1st, 2nd, ... allocation failing (and every later one too), until a run meets no failure.
#pragma once

#include <gtest/gtest.h>

#include "csys_memory.h"

namespace pmtsys_test {

// Each failed run must return the out-of-memory status and leave things as they were, which
// check() looks at; the first successful run ends the sweep. Returns the allocation points.
template <typename Operation, typename Check>
uint32_t sweepAllocationFailures(Operation operation, Check check) {
  for (uint32_t failAt = 1; failAt < 1000; ++failAt) {
    csys_memory_allocCountReset();
    csys_memory_allocCountSetOutOfMemory(failAt);
    const csys_status status = operation();
    csys_memory_allocCountSetOutOfMemory(0);
    if (!CSYS_FAILED(status)) return failAt - 1;
    EXPECT_EQ(status, CSYS_E_OUT_OF_MEMORY) << "allocation " << failAt;
    check();
  }
  ADD_FAILURE() << "no run succeeded";
  return 0;
}

}  // namespace pmtsys_test
