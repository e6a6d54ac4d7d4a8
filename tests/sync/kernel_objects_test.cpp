// Mutexes, semaphores, events and critical sections as callers see them, with the OS layer's last
// errors where it refuses, down to the hold counts the leak report shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "os/os.h"
#include "support/names.h"
#include "support/report_capture.h"
#include "support/tracking.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;

class KernelObjects : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }
};

uint32_t allocations() {
  uint32_t value = 0;
  csys_memory_allocCountGet(&value);
  return value;
}

// What a wait reports as acquired; -1 when it fails.
template <class Object>
int32_t got(csys_status (*wait)(Object*, int32_t*), Object* object) {
  int32_t acquired = -1;
  return CSYS_FAILED(wait(object, &acquired)) ? -1 : acquired;
}

template <class Body>
auto onAnotherThread(Body body) {
  return std::async(std::launch::async, body).get();
}

// A call's status and the OS layer's last error after it, which is then cleared.
std::pair<csys_status, uint32_t> withError(csys_status status) {
  const uint32_t error = os_getLastError();
  os_setLastError(0);
  return {status, error};
}

// Refused arguments never reach the OS (its last error stays clear) and allocate nothing; what
// the OS refuses is CSYS_E_OS with the OS's own error, and changes nothing.
TEST_F(KernelObjects, RefusedArgumentsAndUnconstructedObjects) {
  int32_t untouched = 7, cleared = 7;
  csys_mutex m{}, unowned{};
  csys_semaphore s{}, full{};
  csys_event e{};
  csys_criticalSection cs{};
  ASSERT_EQ(csys_mutex_construct(&unowned, 0, nullptr) | csys_semaphore_construct(&full, 1, 1),
            CSYS_OK);
  const uint32_t allocated = allocations();
  os_setLastError(0);
  using Row = std::pair<csys_status, uint32_t>;
  const std::vector<Row> rows = {
      withError(csys_mutex_wait(&m, &untouched)),
      withError(csys_mutex_unlock(&m)),
      withError(csys_mutex_destruct(nullptr)),
      withError(csys_mutex_construct(nullptr, 0, nullptr)),
      withError(csys_mutex_constructNamed(&m, "", 1, 0, nullptr)),
      withError(csys_semaphore_release(&s)),
      withError(csys_semaphore_waitTry(nullptr, &untouched)),
      withError(csys_semaphore_constructNamedExists(&s, "")),
      withError(csys_event_set(&e)),
      withError(csys_event_reset(nullptr)),
      withError(csys_event_constructNamed(&e, nullptr, 1, 0, 0)),
      withError(csys_criticalSection_wait(&cs, &cleared)),
      withError(csys_criticalSection_release(&cs)),
      withError(csys_criticalSection_construct(nullptr)),
      withError(csys_criticalSection_constructSpin(&cs, -1)),
      withError(csys_criticalSection2_destruct(nullptr)),
      withError(csys_semaphore_construct(&s, 2, 1)),  // the OS's refusals from here on
      withError(csys_semaphore_construct(&s, 0, 0)),
      withError(csys_semaphore_construct(&s, -1, 1)),
      withError(csys_semaphore_release(&full)),
      withError(csys_mutex_unlock(&unowned)),
  };
  std::vector<Row> expected(16, {CSYS_E_INVALID_ARGUMENT, 0});
  for (uint32_t error : {OS_ERROR_INVALID_PARAMETER, OS_ERROR_INVALID_PARAMETER,
                         OS_ERROR_INVALID_PARAMETER, OS_ERROR_TOO_MANY_POSTS, OS_ERROR_NOT_OWNER}) {
    expected.emplace_back(CSYS_E_OS, error);
  }
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(std::make_pair(untouched, cleared), std::make_pair(7, 0));
  EXPECT_EQ(allocations(), allocated);
  EXPECT_TRUE(cs.os == nullptr && s.handle == nullptr);
  EXPECT_EQ((std::pair{got(csys_semaphore_waitTry, &full), got(csys_semaphore_waitTry, &full)}),
            std::make_pair(1, 0));
  EXPECT_EQ(csys_mutex_destruct(&m) | csys_criticalSection_destruct(&cs) |
                csys_mutex_destruct(&unowned) | csys_semaphore_destruct(&full),
            CSYS_OK);
}

// On another thread, timed waits on a held mutex, an empty semaphore and an unset event end
// unacquired and never early; a wait of its own is ended by the owner's release. It ends holding
// the mutex twice, and the next waiter gets it abandoned without the dead owner's count.
TEST_F(KernelObjects, TimedWaitsReleaseAndAbandonment) {
  csys_mutex m{};
  csys_semaphore s{};
  csys_event e{};
  int32_t owned = 0;
  ASSERT_EQ(csys_mutex_construct(&m, 1, &owned) | csys_semaphore_construct(&s, 0, 1) |
                csys_event_construct(&e, 0, 0),
            CSYS_OK);
  EXPECT_EQ(std::make_pair(m.created, owned), std::make_pair(1u, 1));
  const std::function<csys_status(uint32_t, int32_t*)> timedWaits[] = {
      [&](uint32_t ms, int32_t* acquired) { return csys_mutex_waitTimeout(&m, ms, acquired); },
      [&](uint32_t ms, int32_t* acquired) { return csys_semaphore_waitTimeout(&s, ms, acquired); },
      [&](uint32_t ms, int32_t* acquired) { return csys_event_waitTimeout(&e, ms, acquired); }};
  std::atomic<int> stage{0};
  std::thread other([&] {
    for (const auto& wait : timedWaits) {
      for (uint32_t ms : {1u, 7u, 25u}) {
        int32_t acquired = 7;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(wait(ms, &acquired), CSYS_OK);
        EXPECT_EQ(acquired, 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(ms));
      }
    }
    int32_t acquired = 0;
    stage = 1;
    EXPECT_EQ(csys_mutex_waitTimeout(&m, 20000, &acquired), CSYS_OK);
    EXPECT_EQ(std::make_pair(stage.load(), acquired), std::make_pair(2, 1));
    EXPECT_EQ(csys_mutex_wait(&m, nullptr), CSYS_OK);
  });
  while (stage != 1) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(20));  // most likely in its timed wait by now
  EXPECT_EQ(pmtsys_test::trackedCount(m.resourceId, kWait), 1);
  stage = 2;
  ASSERT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  other.join();
  int32_t acquired = 0;
  EXPECT_EQ(csys_mutex_waitTimeout(&m, 2000, &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  EXPECT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  EXPECT_EQ(csys_mutex_unlock(&m), CSYS_E_OS);
  EXPECT_EQ(csys_mutex_destruct(&m) | csys_semaphore_destruct(&s) | csys_event_destruct(&e),
            CSYS_OK);
}

// Starts `waiters` threads waiting on the event, sets it once, and counts who got through.
int wokenBySingleSet(csys_event* e, int waiters) {
  std::atomic<int> woken{0}, ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < waiters; ++i) {
    threads.emplace_back([&] {
      ++ready;
      int32_t acquired = 0;
      csys_event_waitTimeout(e, 500, &acquired);
      woken += acquired;
    });
  }
  while (ready.load() < waiters) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(50));  // let them block
  csys_event_set(e);
  for (auto& thread : threads) thread.join();
  return woken.load();
}

// The manual one stays signalled until reset; the automatic one was consumed.
TEST_F(KernelObjects, ManualResetReleasesAllAutoResetOne) {
  csys_event manual{}, autoReset{};
  ASSERT_EQ(csys_event_construct(&manual, 1, 0) | csys_event_construct(&autoReset, 0, 0), CSYS_OK);
  EXPECT_EQ(wokenBySingleSet(&manual, 4), 4);
  EXPECT_EQ(wokenBySingleSet(&autoReset, 4), 1);
  EXPECT_EQ(got(csys_event_waitTry, &manual), 1);
  ASSERT_EQ(csys_event_reset(&manual), CSYS_OK);
  EXPECT_EQ(got(csys_event_waitTry, &manual) + got(csys_event_waitTry, &autoReset), 0);
  csys_event_destruct(&manual);
  csys_event_destruct(&autoReset);
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

// A taken name is refused without allowExisting (nothing left open) and opened with it (the
// call's initial state ignored); another type's name and a missing name are refused; both
// handles reach one object, and one opened by name may only wait.
TEST_F(KernelObjects, NamedObjectsFollowTheExistingRules) {
  const std::string m = pmtsys_test::uniqueName("pmtsys.test.mutex"),
                    s = pmtsys_test::uniqueName("pmtsys.test.sem"),
                    e = pmtsys_test::uniqueName("pmtsys.test.event");
  csys_mutex m1{}, m2{}, refusedMutex{};
  csys_semaphore s1{}, s2{}, refusedSemaphore{};
  csys_event e1{}, opened{}, refusedEvent{};
  int32_t owned = 0;
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
  EXPECT_EQ(
      pmtsys_test::trackedCount(opened.resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT), 1);
  // The owner's hold is seen through the second handle; the second initial count was ignored.
  EXPECT_EQ(onAnotherThread([&] { return got(csys_mutex_waitTry, &m2); }), 0);
  EXPECT_EQ(got(csys_semaphore_waitTry, &s2), 0);
  EXPECT_EQ(csys_semaphore_release(&s1), CSYS_OK);
  EXPECT_EQ(got(csys_semaphore_waitTry, &s2) + got(csys_event_waitTry, &opened), 2);
  EXPECT_EQ(csys_event_set(&opened), CSYS_E_OS);
  EXPECT_EQ(csys_event_reset(&opened), CSYS_E_OS);
  EXPECT_EQ(csys_event_reset(&e1) | csys_mutex_unlock(&m1), CSYS_OK);
  EXPECT_EQ(csys_mutex_destruct(&m1) | csys_mutex_destruct(&m2) | csys_semaphore_destruct(&s1) |
                csys_semaphore_destruct(&s2) | csys_event_destruct(&e1) |
                csys_event_destruct(&opened),
            CSYS_OK);
  EXPECT_EQ(pmtsys_test::leakRecords(), 0);
}

// A protected function's failure leaves the section; the owner's first leave of two must not let
// another thread in. (The stress test proves exclusion.)
TEST_F(KernelObjects, CriticalSectionLeavesAfterProtectAndAsManyLeavesAsEntries) {
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_constructSpin(&cs, 4000), CSYS_OK);
  int calls = 0;
  const auto failing = [](void* context) {
    ++*static_cast<int*>(context);
    return CSYS_E_FAIL;
  };
  EXPECT_EQ(csys_criticalSection_protect(&cs, failing, &calls), CSYS_E_FAIL);
  EXPECT_EQ(std::make_pair(calls, pmtsys_test::trackedCount(cs.resourceId, kWait)),
            std::make_pair(1, 0));
  EXPECT_EQ(onAnotherThread([&] {
              const int32_t acquired = got(csys_criticalSection_wait, &cs);
              return csys_criticalSection_release(&cs) == CSYS_OK ? acquired : -1;
            }),
            1);
  csys_criticalSection_wait(&cs, nullptr);
  csys_criticalSection_wait(&cs, nullptr);
  std::atomic<bool> leftTwice{false};
  std::thread other([&] {
    csys_criticalSection_wait(&cs, nullptr);
    EXPECT_TRUE(leftTwice);
    csys_criticalSection_release(&cs);
  });
  csys_criticalSection_release(&cs);
  std::this_thread::sleep_for(milliseconds(20));  // most likely waiting by now
  leftTwice = true;
  csys_criticalSection_release(&cs);
  other.join();
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 0);
  csys_criticalSection_destruct(&cs);
}

using Line = std::vector<int>;  // object (index in `ids`), action, count

std::vector<Line> reported(const std::vector<int32_t>& ids) {
  std::istringstream text(pmtsys_test::printedLeakReport(csys_resourceReportLeaks).second);
  std::vector<Line> lines;
  int id = 0, action = 0, n = 0;
  for (std::string s; std::getline(text, s);) {
    const char* format = "  {ResourceID %d Name: %*s ActionType: %d  Count: %d}";
    if (std::sscanf(s.c_str(), format, &id, &action, &n) != 3) continue;
    const auto at = std::find(ids.begin(), ids.end(), id);
    if (at != ids.end()) lines.push_back({static_cast<int>(at - ids.begin()), action, n});
  }
  return lines;
}

// Constructed untracked: destructions come after the holds. cs[1024] shares cs[0]'s hold slot.
TEST(TrackingCounts, ReportKeepsTheTableOrderAndCountsBalance) {
  ASSERT_EQ(csys_mutex_protectGlobal([](void*) { return CSYS_OK; }, nullptr), CSYS_OK);
  std::vector<csys_criticalSection> cs(1025);
  csys_mutex m{};
  csys_resourceSetLeakTrackingEnabled(0);
  for (auto& c : cs) ASSERT_EQ(csys_criticalSection_construct(&c), CSYS_OK);
  ASSERT_EQ(csys_mutex_construct(&m, 0, nullptr), CSYS_OK);
  csys_resourceSetLeakTrackingEnabled(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 1000; ++round) {
        for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_wait(c, nullptr);
        for (int k = 0; k < 4; ++k) (k < 2 ? csys_mutex_wait(&m, nullptr) : csys_mutex_unlock(&m));
        for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_release(c);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto stranger = [&m] { return onAnotherThread([&m] { return csys_mutex_unlock(&m); }); };
  csys_criticalSection_wait(&cs[0], nullptr);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_release(&cs[0]);  // uncounted: the hold stays
  csys_resourceSetLeakTrackingEnabled(1);
  EXPECT_EQ(stranger(), CSYS_E_OS);  // free
  csys_mutex_wait(&m, nullptr);
  EXPECT_EQ(stranger(), CSYS_E_OS);  // held by this thread
  for (auto& c : cs) csys_criticalSection_destruct(&c);
  csys_mutex_destruct(&m);
  EXPECT_EQ(
      reported({cs[0].resourceId.id, cs[1024].resourceId.id, m.resourceId.id}),
      (std::vector<Line>{{0, 1, 1}, {0, 0, -1}, {1, 0, -1}, {2, 1, 1}, {2, 0, -1}, {2, 2, 1}}));
}

}  // namespace
