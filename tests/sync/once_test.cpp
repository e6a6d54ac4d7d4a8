// Once-initialization and the global mutex, the API mutex with library threads of set priorities,
// and sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "csys_apiMutex.h"
#include "csys_atomic.h"
#include "csys_sync.h"
#include "support/os_faults.h"
#include "support/report_capture.h"
#include "sync/once_internal.h"

namespace {

csys_apiMutex g_am{};
std::string g_order;  // written by the owner of g_am only

int32_t queued() {
  int32_t acquired = 0, length = 0;
  EXPECT_EQ(csys_mutex_wait(&g_am.lock, &acquired), CSYS_OK);
  for (const csys_apiMutexWaiter* node = g_am.queue; node != nullptr; node = node->next) ++length;
  EXPECT_EQ(csys_mutex_unlock(&g_am.lock), CSYS_OK);
  return length;
}

uint32_t takeOnce(void* name) {
  EXPECT_EQ(csys_apiMutex_wait(&g_am, 0), CSYS_OK);
  g_order += static_cast<const char*>(name);
  return static_cast<uint32_t>(csys_apiMutex_unlock(&g_am));
}

uint32_t hammer(void* name) {
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(csys_thread_setCurrentPriority((i + *static_cast<const char*>(name)) % 3 * 3),
              CSYS_OK);
    EXPECT_EQ(csys_apiMutex_wait(&g_am, 0) | csys_apiMutex_wait(&g_am, 0), CSYS_OK);
    g_order += '.';
    EXPECT_EQ(csys_apiMutex_unlock(&g_am) | csys_apiMutex_unlock(&g_am), CSYS_OK);
  }
  return 0;
}

// Runs func(name) at a library priority level in each thread; with `queue`, each thread is
// asleep in the queue before the next starts. Returns once all have ended.
void run(
    csys_threadFunc func, std::vector<std::pair<const char*, int32_t>> threads, bool queue,
    const std::function<void()>& meanwhile = [] {}) {
  std::vector<csys_thread> handles(threads.size());
  for (size_t i = 0; i < threads.size(); ++i) {
    csys_threadCreateParams params{threads[i].second, CSYS_THREAD_STACK_DEFAULT, nullptr};
    ASSERT_EQ(csys_thread_construct(&handles[i]), CSYS_OK);
    ASSERT_EQ(csys_thread_create(func, const_cast<char*>(threads[i].first), &params, &handles[i]),
              CSYS_OK);
    while (queue && queued() <= static_cast<int32_t>(i)) csys_sleep(0.001);
  }
  meanwhile();
  for (csys_thread& handle : handles) {
    EXPECT_EQ(csys_thread_waitForTermination(&handle) | csys_thread_destruct(&handle), CSYS_OK);
  }
}

int32_t level() {
  int32_t value = -1;
  EXPECT_EQ(csys_thread_getCurrentPriority(&value), CSYS_OK);
  return value;
}

// Recursion, the order in which queued waiters get the lock, the owner's inherited priority, and
// a stress run with changing priorities.
TEST(ApiMutex, QueuesByPriorityAndTheOwnerInheritsTheMostUrgent) {
  ASSERT_EQ(csys_thread_setCurrentPriority(1), CSYS_OK);
  ASSERT_EQ(csys_apiMutex_construct(&g_am, 1, 0), CSYS_OK);
  run(takeOnce, {{"L", 2}, {"A", 6}, {"B", 6}}, true, [] {
    EXPECT_EQ(std::make_pair(level(), g_am.basePriority), std::make_pair(6, -2));
    EXPECT_EQ(csys_apiMutex_wait(&g_am, 0) | csys_apiMutex_wait(&g_am, 0), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_unlock(&g_am) | csys_apiMutex_unlock(&g_am), CSYS_OK);
    EXPECT_EQ(std::make_pair(g_am.count, queued()), std::make_pair(1, 3));  // still owned
    EXPECT_EQ(csys_apiMutex_unlock(&g_am), CSYS_OK);
    EXPECT_EQ(level(), 1);
  });
  EXPECT_EQ(g_order, "ABL");
  EXPECT_EQ(csys_thread_setCurrentPriority(4), CSYS_OK);
  g_order.clear();
  run(hammer, {{"0", 4}, {"1", 4}, {"2", 4}, {"3", 4}}, false);
  EXPECT_EQ(g_order, std::string(1200, '.'));
  EXPECT_TRUE(g_am.count == 0 && g_am.queue == nullptr && g_am.basePriority == -1);
  EXPECT_EQ(csys_apiMutex_destruct(&g_am), CSYS_OK);
}

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// A real sleep lasts at least its time and an endless one does not end. With the OS sleep
// recorded instead: durations round to milliseconds with a one-millisecond floor, zero yields,
// and durations past one OS sleep go in pieces instead of wrapping into a short one.
TEST(Sleep, RoundingRangeAndPieces) {
  const auto start = std::chrono::steady_clock::now();
  std::atomic<bool> returned{false};
  std::thread([&] {
    csys_sleep(kInfinity);
    returned = true;
  }).detach();  // the process ends with it still asleep
  EXPECT_EQ(csys_sleep(0.1), CSYS_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_FALSE(returned.load());
  const struct {
    double seconds;
    csys_status status;
    std::vector<long long> milliseconds;
    int yields;
  } cases[] = {
      {0.0002, CSYS_OK, {1}, 0},
      {1.0049, CSYS_OK, {1005}, 0},
      {0.0015, CSYS_OK, {2}, 0},
      {0.0, CSYS_OK, {}, 1},
      {4294967.296 + 10.0, CSYS_OK, {4294967294LL, 10002}, 0},
      {-1.0, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-0.0001, CSYS_E_INVALID_ARGUMENT, {}, 0},
      {std::nan(""), CSYS_E_INVALID_ARGUMENT, {}, 0},
      {-kInfinity, CSYS_E_INVALID_ARGUMENT, {}, 0},
  };
  for (const auto& c : cases) {
    const pmtsys_test::OsSleeps& sleeps = pmtsys_test::recordOsSleeps();
    EXPECT_EQ(csys_sleep(c.seconds), c.status) << c.seconds;
    EXPECT_EQ(std::make_pair(sleeps.milliseconds, sleeps.yields),
              std::make_pair(c.milliseconds, c.yields))
        << c.seconds;
  }
  pmtsys_test::restoreOsCalls();
}

struct Payload {
  std::atomic<int> runs{0};
  int value = 0;  // written by init only, read after the flag says done
};

csys_status initPayload(void* context) {
  auto* payload = static_cast<Payload*>(context);
  ++payload->runs;
  std::this_thread::yield();  // widen the window for the other threads
  payload->value = 42;
  return CSYS_OK;
}

// Runs `body(thread)` in 4 threads released at once.
template <class Body>
void race(Body body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      body(t);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
}

// Raced first uses of the global mutex and of a singleton lock give one working object; a raced
// once-initialization runs once, and every caller sees its writes.
TEST(Once, RacingCallers) {
  static csys_criticalSection cs;
  static int32_t csFlag = 0;
  csys_mutex* seen[4] = {};
  for (int round = 0; round < 20; ++round) {
    Payload payload;
    int32_t flag = 0;
    std::atomic<int> wrong{0};
    race([&](int t) {
      wrong += (csys_mutex_getGlobal(&seen[t]) |
                csys_criticalSection_constructSingleton(&cs, &csFlag)) != CSYS_OK;
      wrong += csys_initializeOnce(initPayload, &payload, &flag) != CSYS_OK || payload.value != 42;
    });
    ASSERT_EQ(std::make_tuple(payload.runs.load(), wrong.load(), flag), std::make_tuple(1, 0, 1));
    for (auto* mutex : seen) ASSERT_EQ(mutex, seen[0]);
  }
  int32_t acquired = 0;
  ASSERT_NE(seen[0], nullptr);
  EXPECT_EQ(csys_mutex_waitTry(seen[0], &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  csys_mutex_unlock(seen[0]);
  ASSERT_NE(cs.os, nullptr);
  EXPECT_EQ(csys_criticalSection_wait(&cs, nullptr) | csys_criticalSection_release(&cs), CSYS_OK);
}

int g_attempts = 0;
csys_status failFirstTime(void*) {
  return ++g_attempts == 1 ? CSYS_E_FAIL : CSYS_OK;
}

csys_status succeed(void*) {
  return CSYS_OK;
}

// A failure leaves the flag clear for a retry, a set flag runs nothing and takes no lock, even
// after the global mutex's shutdown, when whatever needs the mutex fails with a report.
TEST(Once, RetryNestingRefusalsAndShutdown) {
  static int32_t flag = 0, outer = 0, inner = 0, fresh = 0, set = 1;
  static csys_mutex* after = reinterpret_cast<csys_mutex*>(1);
  const std::pair<std::function<csys_status()>, csys_status> steps[] = {
      {[] { return csys_initializeOnce(failFirstTime, nullptr, &flag); }, CSYS_E_FAIL},
      {[] { return csys_initializeOnce(failFirstTime, nullptr, &flag); }, CSYS_OK},
      {[] { return csys_initializeOnce(failFirstTime, nullptr, &flag); }, CSYS_OK},
      {[] { return csys_initializeOnce(nullptr, nullptr, &flag); }, CSYS_E_INVALID_ARGUMENT},
      {[] { return csys_initializeOnce(succeed, nullptr, nullptr); }, CSYS_E_INVALID_ARGUMENT},
      {[] { return csys_mutex_getGlobal(nullptr); }, CSYS_E_INVALID_ARGUMENT},
      // Once-initializations and protected sections nested on one thread.
      {[] {
         return csys_initializeOnce(
             [](void*) {
               const csys_status status = csys_initializeOnce(succeed, nullptr, &inner);
               return CSYS_FAILED(status) ? status : csys_mutex_protectGlobal(succeed, nullptr);
             },
             nullptr, &outer);
       },
       CSYS_OK},
      {[] { return csys_mutex_shutdownGlobal(nullptr); }, CSYS_OK},
      {[] { return csys_initializeOnce(failFirstTime, nullptr, &set); }, CSYS_OK},
      {[] { return csys_mutex_getGlobal(&after); }, CSYS_E_FAIL},
      {[] { return csys_initializeOnce(succeed, nullptr, &fresh); }, CSYS_E_FAIL},
      {[] { return csys_mutex_protectGlobal(succeed, nullptr); }, CSYS_E_FAIL},
  };
  pmtsys_test::AssertCapture asserts;
  for (const auto& [step, status] : steps)
    EXPECT_EQ(step(), status) << "step " << &step - &steps[0].first;
  EXPECT_EQ(std::make_tuple(g_attempts, flag, outer, inner, fresh, after, asserts.count()),
            std::make_tuple(2, 1, 1, 1, 0, nullptr, size_t{3}));
}

}  // namespace
