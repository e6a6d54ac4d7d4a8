// Mutexes, semaphores, events and critical sections as callers see them, with the OS layer's last
// errors and the leak report's hold counts; once-initialization, the API mutex and sleep.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_apiMutex.h"
#include "csys_atomic.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "os/os.h"
#include "support/objects.h"
#include "support/os_faults.h"
#include "support/report_capture.h"
#include "sync/once_internal.h"

namespace {

using pmtsys_test::race;
using std::chrono::milliseconds;

// Every object is destructed, constructed or not, and only `leaks` sums stay recorded.
class KernelObjects : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK); }
  void TearDown() override {
    for (csys_mutex* x : {&m, &m2, &m3}) EXPECT_EQ(csys_mutex_destruct(x), CSYS_OK);
    for (csys_semaphore* x : {&s, &s2, &s3}) EXPECT_EQ(csys_semaphore_destruct(x), CSYS_OK);
    for (csys_event* x : {&e, &e2, &e3}) EXPECT_EQ(csys_event_destruct(x), CSYS_OK);
    EXPECT_EQ(csys_criticalSection_destruct(&cs), CSYS_OK);
    EXPECT_EQ(pmtsys_test::leakRecords(), leaks);
  }

  csys_mutex m{}, m2{}, m3{};
  csys_semaphore s{}, s2{}, s3{};
  csys_event e{}, e2{}, e3{};
  csys_criticalSection cs{};
  int32_t leaks = 0;
};

// What a wait reports as acquired; -1 when it fails.
template <class Object>
int32_t got(csys_status (*wait)(Object*, int32_t*), Object* object) {
  int32_t acquired = -1;
  return CSYS_FAILED(wait(object, &acquired)) ? -1 : acquired;
}

// A call's status and the OS layer's last error after it, which is then cleared.
std::pair<csys_status, uint32_t> withError(csys_status status) {
  const uint32_t error = os_getLastError();
  os_setLastError(0);
  return {status, error};
}

TEST_F(KernelObjects, RefusedArgumentsAndUnconstructedObjects) {
  int32_t untouched = 7, cleared = 7;
  csys_mutex& unowned = m2;
  csys_semaphore& full = s2;
  ASSERT_EQ(csys_mutex_construct(&unowned, 0, nullptr) | csys_semaphore_construct(&full, 1, 1),
            CSYS_OK);
  uint32_t allocated = 0, allocatedAfter = 0;
  csys_memory_allocCountGet(&allocated);
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
  expected.resize(19, {CSYS_E_OS, OS_ERROR_INVALID_PARAMETER});
  expected.insert(expected.end(),
                  {{CSYS_E_OS, OS_ERROR_TOO_MANY_POSTS}, {CSYS_E_OS, OS_ERROR_NOT_OWNER}});
  EXPECT_EQ(rows, expected);
  EXPECT_EQ(std::make_pair(untouched, cleared), std::make_pair(7, 0));
  csys_memory_allocCountGet(&allocatedAfter);
  EXPECT_EQ(allocatedAfter, allocated);
  EXPECT_TRUE(cs.os == nullptr && s.handle == nullptr);
  EXPECT_EQ((std::pair{got(csys_semaphore_waitTry, &full), got(csys_semaphore_waitTry, &full)}),
            std::make_pair(1, 0));
}

// The other thread ends holding the mutex twice; the next waiter gets it without that count.
TEST_F(KernelObjects, TimedWaitsNeverEndEarlyReleaseEndsOneAndAbandonmentPassesOn) {
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
  EXPECT_EQ(pmtsys_test::trackedCount(m.resourceId, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE), 1);
  stage = 2;
  ASSERT_EQ(csys_mutex_unlock(&m), CSYS_OK);
  other.join();
  leaks = 2;  // its two holds, then the destruction while they count
  EXPECT_EQ(got(csys_mutex_waitTry, &m), 1);
  EXPECT_EQ((std::pair{csys_mutex_unlock(&m), csys_mutex_unlock(&m)}),
            std::pair(CSYS_OK, CSYS_E_OS));
}

TEST_F(KernelObjects, ManualResetReleasesAllAutoResetOne) {
  csys_event &manual = e, &autoReset = e2;
  ASSERT_EQ(csys_event_construct(&manual, 1, 0) | csys_event_construct(&autoReset, 0, 0), CSYS_OK);
  for (const auto& [event, expected] : {std::pair{&manual, 4}, std::pair{&autoReset, 1}}) {
    std::atomic<int> woken{0};
    race(5, [&, event = event](int t) {
      int32_t acquired = 0;
      if (t == 4) std::this_thread::sleep_for(milliseconds(50));  // let the others block
      EXPECT_EQ(t == 4 ? csys_event_set(event) : csys_event_waitTimeout(event, 500, &acquired),
                CSYS_OK);
      woken += acquired;
    });
    EXPECT_EQ(woken, expected);
  }
  EXPECT_EQ(got(csys_event_waitTry, &manual), 1);
  ASSERT_EQ(csys_event_reset(&manual), CSYS_OK);
  EXPECT_EQ(got(csys_event_waitTry, &manual) + got(csys_event_waitTry, &autoReset), 0);
}

// m, s and e create; m2, s2 and e2 open them; m3, s3 and e3 are refused.
TEST_F(KernelObjects, NamedObjectsFollowTheExistingRulesAndOpenedOnesOnlyWait) {
  using pmtsys_test::uniqueName;
  const std::string mName = uniqueName("pmt-mutex"), sName = uniqueName("pmt-sem"),
                    eName = uniqueName("pmt-ev");
  int32_t owned = 0, ownedAgain = 7;
  ASSERT_EQ(csys_mutex_constructNamed(&m, mName.c_str(), 0, 1, &owned) |
                csys_semaphore_constructNamed(&s, sName.c_str(), 0, 0, 2) |
                csys_event_constructNamed(&e, eName.c_str(), 0, 1, 1),
            CSYS_OK);
  EXPECT_EQ((std::vector{csys_mutex_constructNamed(&m3, mName.c_str(), 0, 0, nullptr),
                         csys_semaphore_constructNamed(&s3, sName.c_str(), 0, 0, 2),
                         csys_event_constructNamed(&e3, eName.c_str(), 0, 1, 0)}),
            std::vector<csys_status>(3, CSYS_E_OS));
  EXPECT_TRUE(!m3.handle && !s3.handle && !e3.handle);
  ASSERT_EQ(csys_mutex_constructNamed(&m2, mName.c_str(), 1, 1, &ownedAgain) |
                csys_semaphore_constructNamed(&s2, sName.c_str(), 1, 2, 2) |
                csys_event_constructNamedExists(&e2, eName.c_str()),
            CSYS_OK);
  EXPECT_EQ(std::make_tuple(m.created, owned, m2.created, ownedAgain, s2.created),
            std::make_tuple(1u, 1, 0u, 0, 0u));
  EXPECT_EQ(pmtsys_test::trackedCount(e2.resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT),
            1);
  // The owner's hold is seen through the second handle; the second initial count was ignored.
  race(1, [&](int) { EXPECT_EQ(got(csys_mutex_waitTry, &m2), 0); });
  EXPECT_EQ(got(csys_semaphore_waitTry, &s2), 0);
  EXPECT_EQ(csys_semaphore_release(&s), CSYS_OK);
  EXPECT_EQ(got(csys_semaphore_waitTry, &s2) + got(csys_event_waitTry, &e2), 2);
  EXPECT_EQ((std::pair{csys_event_set(&e2), csys_event_reset(&e2)}),
            std::pair(CSYS_E_OS, CSYS_E_OS));
  EXPECT_EQ(csys_event_reset(&e) | csys_mutex_unlock(&m), CSYS_OK);
}

TEST_F(KernelObjects, CriticalSectionLeftAfterAFailedProtectAndAfterAsManyLeavesAsEntries) {
  ASSERT_EQ(csys_criticalSection_constructSpin(&cs, 4000), CSYS_OK);
  int calls = 0;
  const auto failing = [](void* context) {
    ++*static_cast<int*>(context);
    return CSYS_E_FAIL;
  };
  EXPECT_EQ(csys_criticalSection_protect(&cs, failing, &calls), CSYS_E_FAIL);
  EXPECT_EQ(calls, 1);
  for (int entry = 0; entry < 2; ++entry) csys_criticalSection_wait(&cs, nullptr);
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
  race(4, [&](int) {
    for (int round = 0; round < 1000; ++round) {
      for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_wait(c, nullptr);
      for (int k = 0; k < 4; ++k) (k < 2 ? csys_mutex_wait(&m, nullptr) : csys_mutex_unlock(&m));
      for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_release(c);
    }
  });
  const auto stranger = [&m](int) { EXPECT_EQ(csys_mutex_unlock(&m), CSYS_E_OS); };
  csys_criticalSection_wait(&cs[0], nullptr);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_release(&cs[0]);  // uncounted: the hold stays
  csys_resourceSetLeakTrackingEnabled(1);
  race(1, stranger);  // free
  csys_mutex_wait(&m, nullptr);
  race(1, stranger);  // held by this thread
  for (auto& c : cs) csys_criticalSection_destruct(&c);
  csys_mutex_destruct(&m);
  EXPECT_EQ(
      reported({cs[0].resourceId.id, cs[1024].resourceId.id, m.resourceId.id}),
      (std::vector<Line>{{0, 1, 1}, {0, 0, -1}, {1, 0, -1}, {2, 1, 1}, {2, 0, -1}, {2, 2, 1}}));
}

csys_apiMutex g_am{};
std::string g_order;  // written by the owner of g_am only

int32_t queued() {
  int32_t length = 0;
  EXPECT_EQ(csys_mutex_wait(&g_am.lock, nullptr), CSYS_OK);
  for (const csys_apiMutexWaiter* node = g_am.queue; node != nullptr; node = node->next) ++length;
  EXPECT_EQ(csys_mutex_unlock(&g_am.lock), CSYS_OK);
  return length;
}

int g_rounds = 1;  // more than one: the priority changes every round

uint32_t take(void* name) {
  for (int i = 0; i < g_rounds; ++i) {
    const int32_t level = (i + *static_cast<const char*>(name)) % 3 * 3;
    EXPECT_EQ(g_rounds == 1 ? CSYS_OK : csys_thread_setCurrentPriority(level), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_wait(&g_am, 0) | csys_apiMutex_wait(&g_am, 0), CSYS_OK);
    g_order += static_cast<const char*>(name);
    EXPECT_EQ(csys_apiMutex_unlock(&g_am) | csys_apiMutex_unlock(&g_am), CSYS_OK);
  }
  return 0;
}

// With `meanwhile`, each thread is asleep in the queue before the next starts.
void run(std::vector<std::pair<const char*, int32_t>> threads,
         const std::function<void()>& meanwhile = nullptr) {
  std::vector<csys_thread> handles(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) {
    csys_threadCreateParams params{threads[i].second, CSYS_THREAD_STACK_DEFAULT, nullptr};
    ASSERT_EQ(csys_thread_construct(&handles[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(take, const_cast<char*>(threads[i].first), &params, &handles[i]),
              CSYS_OK);
    while (meanwhile && queued() <= static_cast<int32_t>(i)) csys_sleep(0.001);
  }
  if (meanwhile) meanwhile();
  for (csys_thread& handle : handles) {
    EXPECT_EQ(csys_thread_waitForTermination(&handle), CSYS_OK);  // before the destruct
    EXPECT_EQ(csys_thread_destruct(&handle), CSYS_OK);
  }
}

TEST(ApiMutex, QueuesByPriorityAndTheOwnerInheritsTheMostUrgent) {
  ASSERT_EQ(csys_thread_setCurrentPriority(1), CSYS_OK);
  ASSERT_EQ(csys_apiMutex_construct(&g_am, 1, 0), CSYS_OK);
  run({{"L", 2}, {"A", 6}, {"B", 6}}, [] {
    int32_t level = -1;
    EXPECT_EQ(csys_thread_getCurrentPriority(&level), CSYS_OK);
    EXPECT_EQ(std::make_pair(level, g_am.basePriority), std::make_pair(6, -2));
    EXPECT_EQ(csys_apiMutex_wait(&g_am, 0) | csys_apiMutex_wait(&g_am, 0), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_unlock(&g_am) | csys_apiMutex_unlock(&g_am), CSYS_OK);
    EXPECT_EQ(std::make_pair(g_am.count, queued()), std::make_pair(1, 3));  // still owned
    EXPECT_EQ(csys_apiMutex_unlock(&g_am), CSYS_OK);
    EXPECT_EQ(csys_thread_getCurrentPriority(&level), CSYS_OK);
    EXPECT_EQ(level, 1);
  });
  EXPECT_EQ(g_order, "ABL");
  EXPECT_EQ(csys_thread_setCurrentPriority(4), CSYS_OK);
  g_order.clear();
  g_rounds = 300;
  run({{"0", 4}, {"1", 4}, {"2", 4}, {"3", 4}});
  for (char name : {'0', '1', '2', '3'})
    EXPECT_EQ(std::count(g_order.begin(), g_order.end(), name), 300);
  EXPECT_TRUE(g_am.count == 0 && g_am.queue == nullptr && g_am.basePriority == -1);
  EXPECT_EQ(csys_apiMutex_destruct(&g_am), CSYS_OK);
}

TEST(Sleep, RoundingRangeAndPiecesThenRealAndEndlessSleeps) {
  const std::tuple<double, csys_status, std::vector<long long>, int> cases[] = {
      {0.0002, CSYS_OK, {1}, 0},
      {1.0049, CSYS_OK, {1005}, 0},
      {0.0015, CSYS_OK, {2}, 0},
      {0.0, CSYS_OK, {}, 1},
      {4294967.296 + 10.0, CSYS_OK, {4294967294LL, 10002}, 0},
      {-1.0, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-0.0001, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {std::nan(""), CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-HUGE_VAL, CSYS_E_INVALID_ARGUMENT, {}, 0},
  };
  for (const auto& [seconds, status, osSleeps, yields] : cases) {
    const pmtsys_test::OsSleeps& sleeps = pmtsys_test::recordOsSleeps();
    EXPECT_EQ(csys_sleep(seconds), status) << seconds;
    EXPECT_EQ(std::make_pair(sleeps.milliseconds, sleeps.yields), std::make_pair(osSleeps, yields))
        << seconds;
  }
  pmtsys_test::restoreOsCalls();
  const auto start = std::chrono::steady_clock::now();
  static std::atomic<bool> returned{false};  // outlives the test with the sleeper
  std::thread([] {
    csys_sleep(HUGE_VAL);
    returned = true;
  }).detach();  // the process ends with it still asleep
  EXPECT_EQ(csys_sleep(0.1), CSYS_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
}

std::atomic<int> g_runs{0};
int g_value = 0;  // written by init only, read after the flag says done

csys_status initValue(void*) {
  ++g_runs;
  std::this_thread::yield();  // widen the window for the other threads
  g_value = 42;
  return CSYS_OK;
}

TEST(Once, RacingCallersRunInitOnceSeeItsWritesAndGetOneGlobalMutex) {
  static csys_criticalSection cs;
  static int32_t csFlag = 0;
  csys_mutex* seen[4] = {};
  for (int round = 0; round < 20; ++round) {
    g_runs = 0;
    g_value = 0;
    int32_t flag = 0;
    std::atomic<int> wrong{0};
    race(4, [&](int t) {
      wrong += (csys_mutex_getGlobal(&seen[t]) |
                csys_criticalSection_constructSingleton(&cs, &csFlag)) != CSYS_OK;
      wrong += csys_initializeOnce(initValue, nullptr, &flag) != CSYS_OK || g_value != 42;
    });
    ASSERT_EQ(std::make_tuple(g_runs.load(), wrong.load(), flag), std::make_tuple(1, 0, 1));
    for (auto* mutex : seen) ASSERT_EQ(mutex, seen[0]);
  }
  EXPECT_EQ(got(csys_mutex_waitTry, seen[0]), 1);
  EXPECT_EQ(csys_mutex_unlock(seen[0]), CSYS_OK);
  EXPECT_EQ(csys_criticalSection_wait(&cs, nullptr), CSYS_OK);
  EXPECT_EQ(csys_criticalSection_release(&cs), CSYS_OK);
}

constexpr csys_initFunc succeed = [](void*) { return CSYS_OK; };
constexpr csys_initFunc failFirstTime = [](void* attempts) {
  return ++*static_cast<int32_t*>(attempts) == 1 ? CSYS_E_FAIL : CSYS_OK;
};

csys_status nested(void* innerFlag) {
  const csys_status status =
      csys_initializeOnce(succeed, nullptr, static_cast<int32_t*>(innerFlag));
  return CSYS_FAILED(status) ? status : csys_mutex_protectGlobal(succeed, nullptr);
}

TEST(Once, RetryNestingRefusalsAndNoLockForASetFlagAfterShutdown) {
  int32_t attempts = 0, flag = 0, outer = 0, inner = 0, fresh = 0, set = 1;
  csys_mutex* after = reinterpret_cast<csys_mutex*>(1);
  pmtsys_test::AssertCapture asserts;
  const std::vector<csys_status> statuses = {
      csys_initializeOnce(failFirstTime, &attempts, &flag),
      csys_initializeOnce(failFirstTime, &attempts, &flag),
      csys_initializeOnce(failFirstTime, &attempts, &flag),
      csys_initializeOnce(nullptr, nullptr, &flag),
      csys_initializeOnce(succeed, nullptr, nullptr),
      csys_mutex_getGlobal(nullptr),
      csys_initializeOnce(nested, &inner, &outer),
      csys_mutex_shutdownGlobal(nullptr),
      csys_initializeOnce(failFirstTime, &attempts, &set),
      csys_mutex_getGlobal(&after),
      csys_initializeOnce(succeed, nullptr, &fresh),
      csys_mutex_protectGlobal(succeed, nullptr),
  };
  EXPECT_EQ(statuses,
            (std::vector<csys_status>{CSYS_E_FAIL, CSYS_OK, CSYS_OK, CSYS_E_INVALID_ARGUMENT,
                                      CSYS_E_INVALID_ARGUMENT, CSYS_E_INVALID_ARGUMENT, CSYS_OK,
                                      CSYS_OK, CSYS_OK, CSYS_E_FAIL, CSYS_E_FAIL, CSYS_E_FAIL}));
  EXPECT_EQ(std::make_tuple(attempts, flag, outer, inner, fresh, after, asserts.count()),
            std::make_tuple(2, 1, 1, 1, 0, nullptr, size_t{3}));
}

}  // namespace
