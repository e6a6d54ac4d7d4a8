// Resource leak tracking: sums per (id, action), the exact report, ordering across buckets,
// disabling, and tracking not set up.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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

const char* const kHeader =
    "Detected resource leaks/errors!\n"
    "  ActionTypes: 0=constructOrDestruct\n"
    "               1=waitOrRelease\n"
    "               2=destructWhileLocked\n"
    "Dumping IDs ->\n";

std::string line(int32_t id, const char* name, int action, int count) {
  return "  {ResourceID " + std::to_string(id) + " Name: " + name +
         " ActionType: " + std::to_string(action) + "  Count: " + std::to_string(count) + "}\n";
}

class ResourceTracking : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }
};

struct Action {
  csys_resourceId rid;
  uint32_t action;
  int32_t delta;
};

TEST_F(ResourceTracking, ReportListsUnbalancedSumsByIdExactly) {
  // Ids 257 and 1 share a bucket; the report orders by id, not by insertion. An odd number of
  // lines ends with an empty one.
  const std::vector<Action> mixed = {{{257, "high"}, kWait, 1},
                                     {{2, "middle"}, kWait, -1},
                                     {{1, nullptr}, kConstruct, 1},
                                     {{1, nullptr}, kWait, 3}};
  std::vector<Action> removed = mixed;  // a record taken from the middle of its bucket
  removed.push_back({{1, nullptr}, kConstruct, -1});
  const struct {
    std::vector<Action> actions;
    int32_t leaks;
    std::string text;
  } rows[] = {
      {mixed, 4,
       kHeader + line(1, "none", 0, 1) + line(1, "none", 1, 3) + line(2, "middle", 1, -1) +
           line(257, "high", 1, 1)},
      {removed, 3,
       kHeader + line(1, "none", 1, 3) + line(2, "middle", 1, -1) + line(257, "high", 1, 1) + "\n"},
      {{{{7, "x"}, kWait, 2}, {{7, "x"}, kWait, -2}}, 0, ""},
  };
  for (const auto& row : rows) {
    for (const Action& a : row.actions)
      ASSERT_EQ(csys_resourceId_logAction(&a.rid, a.action, a.delta), 0);
    EXPECT_EQ(pmtsys_test::printedLeakReport(csys_resourceReportLeaks),
              pmtsys_test::LeakReport(row.leaks, row.text));
    for (const Action& a : row.actions) csys_resourceId_logAction(&a.rid, a.action, -a.delta);
    EXPECT_EQ(pmtsys_test::leakRecords(), 0);
  }
}

csys_criticalSection* g_hookLock = nullptr;
int hookPrint(FILE*, const char*, va_list) {
  return csys_criticalSection_protect(
      g_hookLock, [](void*) { return CSYS_OK; }, nullptr);
}

TEST_F(ResourceTracking, ObjectsCountTheirActionsUnlessDisabled) {
  csys_criticalSection cs{};
  csys_mutex mutex{};
  int32_t acquired = 0;
  for (const csys_status status :  // the mutex destructed while held
       {csys_criticalSection_construct(&cs), csys_mutex_construct(&mutex, 0, nullptr),
        csys_mutex_wait(&mutex, &acquired), csys_mutex_destruct(&mutex)}) {
    ASSERT_EQ(status, CSYS_OK);
  }
  csys_criticalSection_wait(&cs, nullptr);
  csys_criticalSection_wait(&cs, nullptr);
  csys_criticalSection_release(&cs);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_release(&cs);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kConstruct), 0);  // disabled: reads nothing
  csys_resourceSetLeakTrackingEnabled(1);
  const std::tuple<csys_resourceId, uint32_t, int32_t> counts[] = {
      {cs.resourceId, kConstruct, 1},  // the table kept what it had; the release went unseen
      {cs.resourceId, kWait, 1},
      {mutex.resourceId, kConstruct, 0},
      {mutex.resourceId, kWait, 1},
      {mutex.resourceId, CSYS_RESOURCE_ACTION_DESTRUCT_WHILE_LOCKED, 1}};
  for (const auto& [rid, action, want] : counts) {
    EXPECT_EQ(pmtsys_test::trackedCount(rid, action), want);
  }
  // A print hook may use the library's locks, even the listed one's, while the report lists.
  g_hookLock = &cs;
  const csys_printfAHooks hooks{nullptr, hookPrint};
  csys_printfASetHooks(&hooks);
  int32_t leaks = 0;
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &acquired), CSYS_OK);
  csys_printfASetHooks(nullptr);
  EXPECT_EQ(leaks, 4);
  EXPECT_EQ(csys_criticalSection_destruct(&cs), CSYS_OK);
}

TEST(ResourceTrackingUninitialized, IdsAreIssuedButNothingIsKept) {
  csys_resourceId ids[2]{};
  csys_resourceId_init(&ids[0], "a");
  csys_resourceId_init(&ids[1], "b");
  EXPECT_EQ(ids[1].id, ids[0].id + 1);
  EXPECT_EQ(csys_resourceId_logAction(&ids[0], kWait, 1), CSYS_OK);
  EXPECT_EQ(pmtsys_test::trackedCount(ids[0], kWait), 0);
  int32_t leaks = -1;
  int32_t valid = -1;
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &valid), CSYS_OK);
  EXPECT_EQ(valid, 0);
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_resourceId_init(nullptr, "x"), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
}

}  // namespace
