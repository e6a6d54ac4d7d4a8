// Resource leak tracking: sums per (id, action), the exact report, ordering across buckets,
// many threads at once, disabling and shutdown.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_print.h"
#include "csys_resource.h"
#include "csys_sync.h"
#include "support/report_capture.h"
#include "support/tracking.h"

namespace {

constexpr uint32_t kConstruct = CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT;
constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;
constexpr uint32_t kDestructLocked = CSYS_RESOURCE_ACTION_DESTRUCT_WHILE_LOCKED;

const char* const kHeader =
    "Detected resource leaks/errors!\n"
    "  ActionTypes: 0=constructOrDestruct\n"
    "               1=waitOrRelease\n"
    "               2=destructWhileLocked\n"
    "Dumping IDs ->\n";

class ResourceTracking : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }

  static pmtsys_test::LeakReport report() {
    return pmtsys_test::printedLeakReport(csys_resourceReportLeaks);
  }
};

std::string line(int32_t id, const char* name, int action, int count) {
  return "  {ResourceID " + std::to_string(id) + " Name: " + name +
         " ActionType: " + std::to_string(action) + "  Count: " + std::to_string(count) + "}\n";
}

TEST_F(ResourceTracking, UnbalancedSumsAreReportedExactly) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  csys_criticalSection_wait(&cs, nullptr);
  csys_criticalSection_wait(&cs, nullptr);
  csys_criticalSection_release(&cs);
  // One record of the still-constructed object, one of the held lock: an even count.
  auto [leaks, text] = report();
  EXPECT_EQ(leaks, 2);
  EXPECT_EQ(text, std::string(kHeader) + line(cs.resourceId.id, "csys_criticalSection", 0, 1) +
                      line(cs.resourceId.id, "csys_criticalSection", 1, 1));
  csys_criticalSection_release(&cs);
  // An odd count ends with an empty line.
  std::tie(leaks, text) = report();
  EXPECT_EQ(leaks, 1);
  EXPECT_EQ(text,
            std::string(kHeader) + line(cs.resourceId.id, "csys_criticalSection", 0, 1) + "\n");
  csys_criticalSection_destruct(&cs);
}

TEST_F(ResourceTracking, MutexDestroyedWhileHeld) {
  csys_mutex mutex{};
  ASSERT_EQ(csys_mutex_construct(&mutex, 0, nullptr), CSYS_OK);
  int32_t acquired = 0;
  ASSERT_EQ(csys_mutex_wait(&mutex, &acquired), CSYS_OK);
  ASSERT_EQ(csys_mutex_destruct(&mutex), CSYS_OK);
  EXPECT_EQ(pmtsys_test::trackedCount(mutex.resourceId, kConstruct), 0);
  EXPECT_EQ(pmtsys_test::trackedCount(mutex.resourceId, kWait), 1);
  EXPECT_EQ(pmtsys_test::trackedCount(mutex.resourceId, kDestructLocked), 1);
  const auto [leaks, text] = report();
  EXPECT_EQ(leaks, 2);
  EXPECT_EQ(text, std::string(kHeader) + line(mutex.resourceId.id, "csys_mutex", 1, 1) +
                      line(mutex.resourceId.id, "csys_mutex", 2, 1));
}

TEST_F(ResourceTracking, AscendingIdsAcrossBucketsAndNegativeSums) {
  // Ids 257 and 1 share a bucket; the report orders by id, not by insertion.
  const csys_resourceId high{257, "high"};
  const csys_resourceId low{1, nullptr};
  const csys_resourceId middle{2, "middle"};
  ASSERT_EQ(csys_resourceId_logAction(&high, kWait, 1), CSYS_OK);
  ASSERT_EQ(csys_resourceId_logAction(&middle, kWait, -1), CSYS_OK);
  ASSERT_EQ(csys_resourceId_logAction(&low, kConstruct, 1), CSYS_OK);
  ASSERT_EQ(csys_resourceId_logAction(&low, kWait, 3), CSYS_OK);
  const auto [leaks, text] = report();
  EXPECT_EQ(leaks, 4);
  EXPECT_EQ(text, std::string(kHeader) + line(1, "none", 0, 1) + line(1, "none", 1, 3) +
                      line(2, "middle", 1, -1) + line(257, "high", 1, 1));
  // Removing a record from the middle of a bucket keeps the others in order.
  ASSERT_EQ(csys_resourceId_logAction(&low, kConstruct, -1), CSYS_OK);
  EXPECT_EQ(pmtsys_test::trackedCount(low, kWait), 3);
  EXPECT_EQ(pmtsys_test::trackedCount(high, kWait), 1);
  EXPECT_EQ(pmtsys_test::trackedCount(low, kConstruct), 0);
}

csys_criticalSection g_hookLock{};
int hookPrint(FILE*, const char*, va_list) {
  return CSYS_SUCCEEDED(csys_criticalSection_protect(
             &g_hookLock, [](void*) { return CSYS_OK; }, nullptr))
             ? 1
             : -1;
}

TEST_F(ResourceTracking, APrintHookMayUseTheLibrarysLocksWhileTheReportLists) {
  ASSERT_EQ(csys_criticalSection_construct(&g_hookLock), CSYS_OK);
  const csys_printfAHooks hooks{nullptr, hookPrint};
  csys_printfASetHooks(&hooks);
  int32_t leaks = 0;
  int32_t valid = 0;
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &valid), CSYS_OK);  // lists g_hookLock
  csys_printfASetHooks(nullptr);
  EXPECT_EQ(leaks, 1);
  csys_criticalSection_destruct(&g_hookLock);
}

TEST_F(ResourceTracking, DisabledTrackingCountsNothing) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_wait(&cs, nullptr);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 0);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kConstruct), 0);
  csys_resourceSetLeakTrackingEnabled(1);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kConstruct), 1);  // the table kept what it had
  csys_criticalSection_release(&cs);                                   // unmatched now: -1
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), -1);
  csys_criticalSection_destruct(&cs);
}

TEST_F(ResourceTracking, ShutdownReportsThenStopsEverything) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  std::string text;
  {
    pmtsys_test::PrintCapture capture;
    ASSERT_EQ(csys_resourceTracking_shutdown(), CSYS_OK);
    text = capture.text();
  }
  EXPECT_EQ(text,
            std::string(kHeader) + line(cs.resourceId.id, "csys_criticalSection", 0, 1) + "\n");
  int32_t leaks = -1;
  int32_t valid = -1;
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &valid), CSYS_OK);
  EXPECT_EQ(leaks, 0);
  EXPECT_EQ(valid, 0);
  // No new ids after shutdown: the last one is handed out again.
  csys_resourceId a{};
  csys_resourceId b{};
  csys_resourceId_init(&a, "a");
  csys_resourceId_init(&b, "b");
  EXPECT_EQ(a.id, b.id);
  EXPECT_EQ(a.id, cs.resourceId.id);
  EXPECT_EQ(csys_criticalSection_destruct(&cs), CSYS_OK);
  EXPECT_EQ(csys_resourceTracking_shutdown(), CSYS_OK);
}

TEST(ResourceTrackingUninitialized, IdsAreIssuedButNothingIsKept) {
  csys_resourceId a{};
  csys_resourceId b{};
  csys_resourceId_init(&a, "a");
  csys_resourceId_init(&b, "b");
  EXPECT_EQ(b.id, a.id + 1);
  EXPECT_EQ(csys_resourceId_logAction(&a, kWait, 1), CSYS_OK);
  int32_t value = -1;
  EXPECT_EQ(csys_resourceId_getCount(&a, kWait, &value), CSYS_OK);
  EXPECT_EQ(value, 0);
  int32_t leaks = -1;
  int32_t valid = -1;
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &valid), CSYS_OK);
  EXPECT_EQ(valid, 0);
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_resourceId_init(nullptr, "x"), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
}

}  // namespace
