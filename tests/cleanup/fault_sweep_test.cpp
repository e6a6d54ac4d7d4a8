// Every allocation of the library's set-up paths fails in turn: the operation reports it,
// holds nothing back and can be retried.
#include <gtest/gtest.h>

#include "cleanup/cleanup_internal.h"
#include "cleanup/resource_tracking_internal.h"
#include "cleanup/shutdown_internal.h"
#include "csys_cleanup.h"
#include "csys_shutdown.h"
#include "support/fault_loop.h"
#include "support/tracking.h"

namespace {

TEST(FaultSweep, ResourceTrackingInitialization) {
  const uint32_t needed =
      pmtsys_test::sweepAllocationFailures([] { return csys_resourceTracking_init(); },
                                           [] { EXPECT_FALSE(csys_resourceTracking_isLive()); });
  EXPECT_GT(needed, 256u);  // the lock, the bucket table and one array per bucket
  EXPECT_TRUE(csys_resourceTracking_isLive());
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

TEST(FaultSweep, AFrameWhoseLogFailsHandsNothingOver) {
  const int32_t open = csys_cleanup_getNextTag();  // each later log grows the tag array
  void* out = nullptr;                             // allocated into, freed on failure only (0x21)
  const auto handOver = [&out] {
    CleanupFrame<1> frame;
    if (frame.call(csys_memory_alloc(16, &out))) frame.add(0x21u, &out, csys_memory_free_internal);
    return frame.close();
  };
  pmtsys_test::sweepAllocationFailures(handOver, [&] { EXPECT_EQ(out, nullptr); });
  EXPECT_EQ(csys_memory_free(&out), CSYS_OK);
  for (int32_t tag = open, last = csys_cleanup_getNextTag(); tag <= last; ++tag) {
    csys_cleanup_logExecute(tag);
  }
}

int g_runs = 0;
csys_status countRun(void*) {
  ++g_runs;
  return CSYS_OK;
}

TEST(FaultSweep, FirstShutdownRegistration) {
  // The first registration creates the registry lock object and grows the list.
  pmtsys_test::sweepAllocationFailures([] { return csys_shutdown_register(countRun, nullptr); },
                                       [] {});
  csys_cleanupSetReportLeaksAtShutdown(0);
  csys_resourceSetReportLeaksAtShutdown(0);
  // The failed attempts left nothing behind: the one registration made runs once.
  g_runs = 0;
  bool elected = false;
  ASSERT_EQ(csys_shutdown_request(&elected), CSYS_OK);
  ASSERT_TRUE(elected);
  EXPECT_EQ(csys_shutdown_finishRequest(), CSYS_OK);
  EXPECT_EQ(g_runs, 1);
}

}  // namespace
