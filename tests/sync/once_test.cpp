// Once-initialization, the global mutex and singleton locks: one run under a race with its writes
// seen by every caller, retry after failure, nesting, and life after shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>
#include <vector>

#include "csys_sync.h"
#include "support/report_capture.h"
#include "sync/once_internal.h"

namespace {

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

TEST(Once, RacingCallersRunInitOnceAndAllSeeItsWrites) {
  for (int round = 0; round < 20; ++round) {
    Payload payload;
    int32_t flag = 0;
    std::atomic<int> wrong{0};
    race([&](int) {
      wrong += csys_initializeOnce(initPayload, &payload, &flag) != CSYS_OK || payload.value != 42;
    });
    ASSERT_EQ(std::make_tuple(payload.runs.load(), wrong.load(), flag), std::make_tuple(1, 0, 1));
  }
}

// The first uses of the global mutex and of a singleton lock, raced, give one working object.
TEST(Once, RacingFirstUsesOfTheGlobalMutexAndASingleton) {
  static csys_criticalSection cs;
  static int32_t flag = 0;
  csys_mutex* seen[4] = {};
  race([&](int t) {
    EXPECT_EQ(csys_mutex_getGlobal(&seen[t]), CSYS_OK);
    EXPECT_EQ(csys_criticalSection_constructSingleton(&cs, &flag), CSYS_OK);
  });
  for (auto* mutex : seen) EXPECT_EQ(mutex, seen[0]);
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

TEST(Once, FailureLeavesTheFlagClearAndIsRetried) {
  int32_t flag = 0;
  EXPECT_EQ(csys_initializeOnce(failFirstTime, nullptr, &flag), CSYS_E_FAIL);
  EXPECT_EQ(flag, 0);
  EXPECT_EQ(csys_initializeOnce(failFirstTime, nullptr, &flag), CSYS_OK);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(csys_initializeOnce(failFirstTime, nullptr, &flag), CSYS_OK);
  EXPECT_EQ(g_attempts, 2);
  EXPECT_EQ(csys_initializeOnce(nullptr, nullptr, &flag), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(csys_initializeOnce(failFirstTime, nullptr, nullptr), CSYS_E_INVALID_ARGUMENT);
}

csys_status succeed(void*) {
  return CSYS_OK;
}

// Once-initializations and protected sections nested on one thread.
TEST(Once, NestedInitializationsDoNotDeadlock) {
  static int32_t outer = 0, inner = 0;
  EXPECT_EQ(csys_initializeOnce(
                [](void*) {
                  const csys_status status = csys_initializeOnce(succeed, nullptr, &inner);
                  return CSYS_FAILED(status) ? status : csys_mutex_protectGlobal(succeed, nullptr);
                },
                nullptr, &outer),
            CSYS_OK);
  EXPECT_EQ(std::make_pair(outer, inner), std::make_pair(1, 1));
}

TEST(Once, SetFlagTakesNoLockEvenAfterShutdown) {
  int32_t flag = 1;
  csys_mutex* global = nullptr;
  ASSERT_EQ(csys_mutex_getGlobal(&global), CSYS_OK);
  ASSERT_EQ(csys_mutex_shutdownGlobal(nullptr), CSYS_OK);
  EXPECT_EQ(csys_initializeOnce(initPayload, nullptr, &flag), CSYS_OK);
  pmtsys_test::AssertCapture asserts;
  csys_mutex* after = reinterpret_cast<csys_mutex*>(1);
  EXPECT_EQ(csys_mutex_getGlobal(&after), CSYS_E_FAIL);
  EXPECT_EQ(after, nullptr);
  int32_t fresh = 0;
  EXPECT_EQ(csys_initializeOnce(initPayload, nullptr, &fresh), CSYS_E_FAIL);
  EXPECT_EQ(csys_mutex_protectGlobal(succeed, nullptr), CSYS_E_FAIL);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(csys_mutex_getGlobal(nullptr), CSYS_E_INVALID_ARGUMENT);
}

}  // namespace
