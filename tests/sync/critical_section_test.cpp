// Critical sections: argument checks, recursion, mutual exclusion under contention, failure
// paths of construction, and what leak tracking sees.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "support/report_capture.h"
#include "support/tracking.h"

namespace {

constexpr uint32_t kConstruct = CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT;
constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;

class CriticalSection : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }
  static uint32_t requests() {
    uint32_t value = 0;
    csys_memory_allocCountGet(&value);
    return value;
  }
};

TEST_F(CriticalSection, ArgumentChecks) {
  int32_t acquired = 7;
  EXPECT_EQ(csys_criticalSection_wait(nullptr, &acquired), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(acquired, 0);
  csys_criticalSection unconstructed{};
  acquired = 7;
  EXPECT_EQ(csys_criticalSection_wait(&unconstructed, &acquired), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(acquired, 0);
  EXPECT_EQ(csys_criticalSection_release(&unconstructed), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_criticalSection_construct(nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_criticalSection2_destruct(nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_criticalSection_destruct(&unconstructed), CSYS_OK);

  const uint32_t before = requests();
  csys_criticalSection cs{};
  EXPECT_EQ(csys_criticalSection_constructSpin(&cs, -1), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(cs.os, nullptr);
  EXPECT_EQ(requests(), before);  // nothing allocated
}

TEST_F(CriticalSection, ExcludesOtherThreads) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  long long counter = 0;  // guarded by cs only
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        csys_criticalSection_wait(&cs, nullptr);
        csys_criticalSection_wait(&cs, nullptr);  // recursive entry inside the region
        ++counter;
        csys_criticalSection_release(&cs);
        csys_criticalSection_release(&cs);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 80000);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 0);
  csys_criticalSection_destruct(&cs);
}

csys_status failing(void* context) {
  ++*static_cast<int*>(context);
  return CSYS_E_FAIL;
}

TEST_F(CriticalSection, ProtectReleasesEvenWhenTheFunctionFails) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  int calls = 0;
  EXPECT_EQ(csys_criticalSection_protect(&cs, failing, &calls), CSYS_E_FAIL);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 0);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    csys_criticalSection_wait(&cs, nullptr);
    entered = true;
    csys_criticalSection_release(&cs);
  });
  other.join();
  EXPECT_TRUE(entered.load());
  csys_criticalSection_destruct(&cs);
}

}  // namespace
