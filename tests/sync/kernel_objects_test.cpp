// Mutexes, semaphores and events through the library: statuses and acquired flags, named
// construction rules, abandonment, time-outs, and what leak tracking records.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_sync.h"
#include "support/names.h"
#include "support/tracking.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;
constexpr uint32_t kConstruct = CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT;

class KernelObjects : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }
};

TEST_F(KernelObjects, NullArgumentsAndUnconstructedObjects) {
  int32_t acquired = 7;
  csys_mutex m{};
  csys_semaphore s{};
  csys_event e{};
  EXPECT_EQ(csys_mutex_wait(&m, &acquired), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(acquired, 7);  // not written
  EXPECT_EQ(csys_mutex_unlock(&m), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_semaphore_release(&s), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_event_set(&e), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_event_reset(nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_semaphore_waitTry(nullptr, &acquired), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_mutex_construct(nullptr, 0, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_mutex_constructNamed(&m, "", 1, 0, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_event_constructNamed(&e, nullptr, 1, 0, 0), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_semaphore_constructNamedExists(&s, ""), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_mutex_destruct(&m), CSYS_OK);
  EXPECT_EQ(csys_mutex_destruct(nullptr), CSYS_E_INVALID_ARGUMENT);
}

TEST_F(KernelObjects, MutexOwnershipAcrossThreads) {
  csys_mutex m{};
  int32_t owned = 0;
  ASSERT_EQ(csys_mutex_construct(&m, 1, &owned), CSYS_OK);
  EXPECT_EQ(owned, 1);
  EXPECT_EQ(m.created, 1u);
  std::thread([&] {
    int32_t acquired = 7;
    EXPECT_EQ(csys_mutex_waitTry(&m, &acquired), CSYS_OK);
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(csys_mutex_waitTimeout(&m, 30, &acquired), CSYS_OK);
    EXPECT_EQ(acquired, 0);
    EXPECT_EQ(csys_mutex_unlock(&m), CSYS_E_OS);  // not the owner
  }).join();
  EXPECT_EQ(pmtsys_test::trackedCount(m.resourceId, kWait),
            1);  // the refused unlock recorded nothing
  ASSERT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  std::thread([&] {
    int32_t acquired = 0;
    EXPECT_EQ(csys_mutex_waitTry(&m, &acquired), CSYS_OK);
    EXPECT_EQ(acquired, 1);
    EXPECT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  }).join();
  ASSERT_EQ(csys_mutex_destruct(&m), CSYS_OK);
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

TEST_F(KernelObjects, InfiniteTimeoutWaitsUntilReleased) {
  csys_mutex m{};
  ASSERT_EQ(csys_mutex_construct(&m, 1, nullptr), CSYS_OK);
  std::atomic<bool> released{false};
  std::thread waiter([&] {
    int32_t acquired = 0;
    EXPECT_EQ(csys_mutex_waitTimeout(&m, CSYS_WAIT_INFINITE, &acquired), CSYS_OK);
    EXPECT_TRUE(released.load());
    EXPECT_EQ(acquired, 1);
    csys_mutex_unlock(&m);
  });
  std::this_thread::sleep_for(milliseconds(50));
  released = true;
  csys_mutex_unlock(&m);
  waiter.join();
  csys_mutex_destruct(&m);
}

TEST_F(KernelObjects, AbandonedMutexIsAcquiredByTheNextWaiter) {
  csys_mutex m{};
  ASSERT_EQ(csys_mutex_construct(&m, 0, nullptr), CSYS_OK);
  std::thread([&] {
    csys_mutex_wait(&m, nullptr);
    csys_mutex_wait(&m, nullptr);
  }).join();  // ends holding it twice
  int32_t acquired = 0;
  EXPECT_EQ(csys_mutex_waitTimeout(&m, 2000, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  EXPECT_EQ(csys_mutex_unlock(&m), CSYS_E_OS);  // the dead owner's count is not inherited
  csys_mutex_destruct(&m);
}

TEST_F(KernelObjects, TimedWaitsNeverReturnEarly) {
  csys_semaphore s{};
  ASSERT_EQ(csys_semaphore_construct(&s, 0, 1), CSYS_OK);
  for (uint32_t ms : {1u, 7u, 25u}) {
    const auto start = Clock::now();
    int32_t acquired = 7;
    ASSERT_EQ(csys_semaphore_waitTimeout(&s, ms, &acquired), CSYS_OK);
    EXPECT_EQ(acquired, 0);
    EXPECT_GE(Clock::now() - start, milliseconds(ms));
  }
  csys_semaphore_destruct(&s);
}

TEST_F(KernelObjects, SemaphoreMaximum) {
  csys_semaphore s{};
  ASSERT_EQ(csys_semaphore_construct(&s, 0, 1), CSYS_OK);
  EXPECT_EQ(s.maximumCount, 1u);
  int32_t acquired = 7;
  EXPECT_EQ(csys_semaphore_waitTry(&s, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 0);
  EXPECT_EQ(csys_semaphore_release(&s), CSYS_OK);
  EXPECT_EQ(csys_semaphore_release(&s), CSYS_E_OS);  // would pass the maximum
  EXPECT_EQ(csys_semaphore_waitTry(&s, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(csys_semaphore_waitTry(&s, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 0);  // the refused release changed nothing
  csys_semaphore_destruct(&s);
  csys_semaphore bad{};
  EXPECT_EQ(csys_semaphore_construct(&bad, 2, 1), CSYS_E_OS);
  EXPECT_EQ(bad.handle, nullptr);
}

// Starts `waiters` threads waiting on the event, sets it once, and counts who got through.
int wokenBySingleSet(csys_event* e, int waiters) {
  std::atomic<int> woken{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < waiters; ++i) {
    threads.emplace_back([&] {
      ++ready;
      int32_t acquired = 0;
      csys_event_waitTimeout(e, 500, &acquired);
      if (acquired == 1) ++woken;
    });
  }
  while (ready.load() < waiters) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(50));  // let them block
  csys_event_set(e);
  for (auto& thread : threads) thread.join();
  return woken.load();
}

TEST_F(KernelObjects, ManualResetReleasesAllAutoResetOne) {
  csys_event manual{};
  csys_event autoReset{};
  ASSERT_EQ(csys_event_construct(&manual, 1, 0), CSYS_OK);
  ASSERT_EQ(csys_event_construct(&autoReset, 0, 0), CSYS_OK);
  EXPECT_EQ(wokenBySingleSet(&manual, 4), 4);
  EXPECT_EQ(wokenBySingleSet(&autoReset, 4), 1);
  int32_t acquired = 0;
  EXPECT_EQ(csys_event_waitTry(&manual, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);  // still signalled
  ASSERT_EQ(csys_event_reset(&manual), CSYS_OK);
  EXPECT_EQ(csys_event_waitTry(&manual, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 0);
  EXPECT_EQ(csys_event_waitTry(&autoReset, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 0);  // consumed by the one waiter
  csys_event_destruct(&manual);
  csys_event_destruct(&autoReset);
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

// Named objects: a taken name is refused without allowExisting (nothing left open) and opened
// with it (the call's initial state ignored); another type's name and a missing name are refused;
// both handles reach one object, and one opened by name may only wait.
TEST_F(KernelObjects, NamedObjectsFollowTheExistingRules) {
  const std::string m = pmtsys_test::uniqueName("pmtsys.test.mutex"),
                    s = pmtsys_test::uniqueName("pmtsys.test.sem"),
                    e = pmtsys_test::uniqueName("pmtsys.test.event");
  csys_mutex m1{}, m2{}, refusedMutex{};
  csys_semaphore s1{}, s2{}, refusedSemaphore{};
  csys_event e1{}, opened{}, refusedEvent{};
  int32_t owned = 0, acquired = 7;
  ASSERT_EQ(csys_mutex_constructNamed(&m1, m.c_str(), 0, 1, &owned), CSYS_OK);
  EXPECT_EQ(std::make_pair(m1.created, owned), std::make_pair(1u, 1));
  ASSERT_EQ(csys_semaphore_constructNamed(&s1, s.c_str(), 0, 0, 2), CSYS_OK);
  ASSERT_EQ(csys_event_constructNamed(&e1, e.c_str(), 0, 1, 1), CSYS_OK);
  const csys_status refusals[] = {
      csys_mutex_constructNamed(&refusedMutex, m.c_str(), 0, 0, nullptr),
      csys_semaphore_constructNamed(&refusedSemaphore, s.c_str(), 0, 0, 2),
      csys_event_constructNamed(&refusedEvent, e.c_str(), 0, 1, 0),
      csys_mutex_constructNamed(&refusedMutex, e.c_str(), 1, 0, nullptr),
      csys_event_constructNamedExists(&refusedEvent, s.c_str()),
      csys_semaphore_constructNamedExists(&refusedSemaphore,
                                          pmtsys_test::uniqueName("pmtsys.test.none").c_str())};
  for (const csys_status status : refusals) EXPECT_EQ(status, CSYS_E_OS);
  EXPECT_TRUE(!refusedMutex.handle && !refusedSemaphore.handle && !refusedEvent.handle);
  owned = 7;
  ASSERT_EQ(csys_mutex_constructNamed(&m2, m.c_str(), 1, 1, &owned), CSYS_OK);
  EXPECT_EQ(std::make_pair(m2.created, owned), std::make_pair(0u, 0));
  ASSERT_EQ(csys_semaphore_constructNamed(&s2, s.c_str(), 1, 2, 2), CSYS_OK);
  EXPECT_EQ(s2.created, 0u);
  ASSERT_EQ(csys_event_constructNamedExists(&opened, e.c_str()), CSYS_OK);
  EXPECT_EQ(pmtsys_test::trackedCount(opened.resourceId, kConstruct), 1);
  std::thread([&] { csys_mutex_waitTry(&m2, &acquired); }).join();
  EXPECT_EQ(acquired, 0);  // the owner's hold is seen through the second handle
  csys_semaphore_waitTry(&s2, &acquired);
  EXPECT_EQ(acquired, 0);  // the second call's initial count was ignored
  csys_semaphore_release(&s1);
  csys_semaphore_waitTry(&s2, &acquired);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(csys_event_waitTry(&opened, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(csys_event_set(&opened), CSYS_E_OS);
  EXPECT_EQ(csys_event_reset(&opened), CSYS_E_OS);
  EXPECT_EQ(csys_event_reset(&e1), CSYS_OK);
  EXPECT_EQ(csys_mutex_unlock(&m1), CSYS_OK);
  EXPECT_EQ(csys_mutex_destruct(&m1) | csys_mutex_destruct(&m2) | csys_semaphore_destruct(&s1) |
                csys_semaphore_destruct(&s2) | csys_event_destruct(&e1) |
                csys_event_destruct(&opened),
            CSYS_OK);
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

}  // namespace
