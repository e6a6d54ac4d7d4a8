// Once-initialization and the global mutex: exactly one run under a race, visibility of the
// init function's writes, retry after failure, nesting, and life after shutdown.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "csys_sync.h"
#include "support/report_capture.h"
#include "sync/once_internal.h"

namespace {

struct Payload {
  std::atomic<int> runs{0};
  int value = 0;  // written by init only, read after the flag says done
  int values[64] = {};
};

csys_status initPayload(void* context) {
  auto* payload = static_cast<Payload*>(context);
  ++payload->runs;
  std::this_thread::yield();  // widen the window for the other threads
  payload->value = 42;
  for (int i = 0; i < 64; ++i) payload->values[i] = i;
  return CSYS_OK;
}

TEST(Once, ManyThreadsOnAFreshFlagRunInitOnceAndSeeItsWrites) {
  for (int round = 0; round < 20; ++round) {
    Payload payload;
    int32_t flag = 0;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (csys_initializeOnce(initPayload, &payload, &flag) != CSYS_OK) ++wrong;
        if (payload.value != 42 || payload.values[63] != 63) ++wrong;
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(payload.runs.load(), 1);
    ASSERT_EQ(wrong.load(), 0);
    ASSERT_EQ(flag, 1);
  }
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

int32_t g_innerFlag = 0;
int32_t g_innermostFlag = 0;
csys_status innermost(void*) {
  return CSYS_OK;
}
csys_status inner(void*) {
  return csys_initializeOnce(innermost, nullptr, &g_innermostFlag);
}
csys_status outer(void*) {
  // Nested once-initializations and protected sections on the same thread.
  const csys_status status = csys_initializeOnce(inner, nullptr, &g_innerFlag);
  return CSYS_FAILED(status) ? status : csys_mutex_protectGlobal(innermost, nullptr);
}

TEST(Once, NestedInitializationsDoNotDeadlock) {
  int32_t flag = 0;
  EXPECT_EQ(csys_initializeOnce(outer, nullptr, &flag), CSYS_OK);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(g_innerFlag, 1);
  EXPECT_EQ(g_innermostFlag, 1);
}

TEST(Once, FirstUseOfTheGlobalMutexIsRacedSafely) {
  std::atomic<bool> go{false};
  csys_mutex* seen[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      EXPECT_EQ(csys_mutex_getGlobal(&seen[t]), CSYS_OK);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
  for (auto* mutex : seen) {
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(mutex, seen[0]);
  }
  int32_t acquired = 0;
  EXPECT_EQ(csys_mutex_waitTry(seen[0], &acquired), CSYS_OK);
  EXPECT_EQ(acquired, 1);
  csys_mutex_unlock(seen[0]);
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
  EXPECT_EQ(csys_mutex_protectGlobal(innermost, nullptr), CSYS_E_FAIL);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(csys_mutex_getGlobal(nullptr), CSYS_E_INVALID_ARGUMENT);
}

TEST(Once, CriticalSectionSingleton) {
  static csys_criticalSection cs;
  static int32_t flag = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back(
        [] { EXPECT_EQ(csys_criticalSection_constructSingleton(&cs, &flag), CSYS_OK); });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_NE(cs.os, nullptr);
  EXPECT_EQ(csys_criticalSection_wait(&cs, nullptr), CSYS_OK);
  EXPECT_EQ(csys_criticalSection_release(&cs), CSYS_OK);
}

}  // namespace
