// Stress: eight threads on each kind of lock, thread churn with thread-local values and cleanups,
// attention races, shutdown racing ending threads. A fiftieth unless PMTSYS_STRESS=full.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <tuple>
#include <utility>
#include <vector>

#include "csys_apiMutex.h"
#include "csys_attention.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "os/os.h"
#include "support/objects.h"
#include "support/report_capture.h"

namespace {

using pmtsys_test::allOk;

int sized(int full) {
  const char* form = std::getenv("PMTSYS_STRESS");
  return pmtsys_test::stressIterations(form && std::strcmp(form, "full") == 0 ? full : full / 50);
}

void timed(const char* what, long long cycles, const std::function<void()>& run) {
  const auto start = std::chrono::steady_clock::now();
  run();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("stress %s: %lld cycles in %.2f s\n", what, cycles, took.count());
}

// Runs body(0) ... body(count - 1) on library threads, in the order they start, and waits.
void onThreads(int count, const std::function<void(int)>& body) {
  struct Shared {
    const std::function<void(int)>* body;
    std::atomic<int> next{0};
  } shared{&body};
  const auto run = [](void* context) -> uint32_t {
    auto& self = *static_cast<Shared*>(context);
    (*self.body)(self.next++);
    return 0;
  };
  std::vector<csys_thread> threads(static_cast<size_t>(count));
  for (csys_thread& thread : threads) {
    EXPECT_TRUE(allOk(
        {csys_thread_construct(&thread), csys_thread_create(run, &shared, nullptr, &thread)}));
  }
  for (csys_thread& thread : threads) {
    EXPECT_TRUE(allOk({csys_thread_waitForTermination(&thread), csys_thread_destruct(&thread)}));
  }
}

std::atomic<int> g_failures{0};  // failed calls on any thread

// OS handles, tracking sums, cleanup frames whose tags were never logged (frames of many threads
// at once) and the failures so far.
std::tuple<size_t, int32_t, int32_t, int> leftOpen() {
  int32_t frames = -1, valid = 0;
  EXPECT_EQ(csys_cleanupReportLeaks(0, &frames, &valid), CSYS_OK);
  return {os_openHandleCount(), pmtsys_test::leakRecords(), frames, g_failures.load()};
}

// Sets tracking and the thread singletons up and returns what they leave open: the baseline.
std::tuple<size_t, int32_t, int32_t, int> settle() {
  csys_mutex* global = nullptr;
  EXPECT_EQ(csys_mutex_getGlobal(&global), CSYS_OK);
  onThreads(1, [](int) {});
  return leftOpen();
}

// A plain counter bumped under the lock ends exact only if no two holders overlapped. `wait`
// sets whether it acquired (the API mutex has no try form: it returns owning the lock or fails).
template <typename Lock, typename Wait, typename Release>
void lockStress(const char* name, Lock* lock, Wait wait, Release release) {
  constexpr int kThreads = 8;
  const int cycles = sized(1000000);
  uint64_t counter = 0;
  std::atomic<int> started{0};
  timed(name, static_cast<long long>(kThreads) * cycles, [&] {
    onThreads(kThreads, [&](int) {
      ++started;
      while (started < kThreads) os_yield();  // all contend from the start
      for (int i = 0; i < cycles; ++i) {
        int32_t acquired = 0;
        if (wait(lock, &acquired) == CSYS_OK && acquired == 1) {  // else the count is short
          ++counter;
          g_failures += release(lock) != CSYS_OK;
        }
      }
    });
  });
  EXPECT_EQ(counter, static_cast<uint64_t>(kThreads) * static_cast<uint64_t>(cycles));
}

TEST(LockStress, EightThreadsKeepMutualExclusionAndLeaveNoRecord) {
  const auto open = settle();
  csys_criticalSection cs{};
  csys_mutex mutex{};
  csys_apiMutex api{};
  ASSERT_EQ(csys_criticalSection_construct(&cs) | csys_mutex_construct(&mutex, 0, nullptr) |
                csys_apiMutex_construct(&api, 0, 0),
            CSYS_OK);
  lockStress("criticalSection", &cs, csys_criticalSection_wait, csys_criticalSection_release);
  lockStress("mutex", &mutex, csys_mutex_wait, csys_mutex_unlock);
  lockStress(
      "apiMutex", &api,
      [](csys_apiMutex* lock, int32_t* acquired) {
        return *acquired = 1, csys_apiMutex_wait(lock, 0);
      },
      csys_apiMutex_unlock);
  EXPECT_EQ(csys_criticalSection_destruct(&cs) | csys_mutex_destruct(&mutex) |
                csys_apiMutex_destruct(&api),
            CSYS_OK);
  EXPECT_EQ(leftOpen(), open);
}

uint32_t g_keys[2];  // a value with a destructor, a block the library frees
int32_t g_keyFlags[2];
std::atomic<int> g_destroyed{0}, g_cleanups{0};  // what thread ends ran

// What a thread leaves for its end: a value replaced once (destroyed then), a block the library
// frees, two cleanups.
void leaveThreadState(int index) {
  const auto destroy = [](void*) { return ++g_destroyed, CSYS_OK; };
  const auto freeBlock = [](void** p) { return ++g_destroyed, csys_memory_free_internal(p); };
  const auto cleanup = [](void*) { return ++g_cleanups, CSYS_OK; };
  void* block = nullptr;
  uintptr_t value = 0;
  for (const csys_status status :
       {csys_threadLocal_setValueObj(g_keys[0], 1, destroy),
        csys_threadLocal_setValueObj(g_keys[0], uintptr_t(index) + 2, destroy),
        csys_memory_alloc_internal(64, &block),
        csys_threadLocal_setValuePtr(g_keys[1], uintptr_t(block), freeBlock),
        csys_threadLocal_getValue(g_keys[0], &value),
        csys_thread_cleanup_register(cleanup, nullptr),
        csys_thread_cleanup_register(cleanup, nullptr)}) {
    g_failures += status != CSYS_OK;
  }
  g_failures += value != uintptr_t(index) + 2;
}

void expectEndsOf(int threads) {
  EXPECT_EQ(std::make_tuple(g_destroyed.load(), g_cleanups.load(), g_failures.load()),
            std::make_tuple(3 * threads, 2 * threads, 0));
}

TEST(Stress, ThreadChurnRunsEveryEndAndLeavesNothingOpenOrGrowing) {
  for (int k = 0; k < 2; ++k) EXPECT_EQ(csys_threadLocal_alloc(&g_keys[k], &g_keyFlags[k]), 0);
  constexpr int kWave = 8;
  const int waves = std::max(2, sized(10000) / kWave);
  const int warmUp = std::max(1, waves / 10);
  for (int w = 0; w < warmUp; ++w) onThreads(kWave, leaveThreadState);
  const auto open = leftOpen();
  [[maybe_unused]] uint64_t peak[2] = {};
  EXPECT_TRUE(os_peakWorkingSetBytes(&peak[0]));
  timed("thread churn", static_cast<long long>(waves) * kWave, [&] {
    for (int w = warmUp; w < waves; ++w) onThreads(kWave, leaveThreadState);
  });
  EXPECT_TRUE(os_peakWorkingSetBytes(&peak[1]));
  expectEndsOf(waves * kWave);
  EXPECT_EQ(leftOpen(), open);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers hold freed memory back; a plain build must not grow per thread.
  EXPECT_LT(peak[1] - peak[0], uint64_t{16} << 20);
#endif
}

// Workers check while controllers attach cancels to them and detach them: a cancel or nothing.
TEST(Stress, AttentionAttachDetachAndCheckRaceBetweenThreads) {
  constexpr int kWorkers = 3;
  constexpr int kControllers = 2;
  constexpr csys_status kCancel = -7;
  const int rounds = sized(100000);
  const auto open = settle();
  std::vector<csys_thread> workers(kWorkers);
  std::atomic<int> ready{0}, fired{0}, finished{0};
  timed("attention races", static_cast<long long>(kControllers) * rounds, [&] {
    onThreads(kWorkers + kControllers, [&](int index) {
      if (index < kWorkers) {
        g_failures += csys_thread_constructCurrent(&workers[size_t(index)]) != CSYS_OK;
        ++ready;
        while (finished < kControllers) {
          const csys_status status = csys_attention_check();
          fired += status == kCancel;
          g_failures += status != CSYS_OK && status != kCancel;
        }
        return;
      }
      while (ready < kWorkers) os_yield();
      for (int r = 0; r < rounds; ++r) {
        csys_attentionTag tag;
        g_failures +=
            !allOk({csys_attentionTag_construct(&tag),
                    csys_attentionTag_attachCancel(&tag, &workers[size_t(r % kWorkers)], kCancel),
                    csys_attentionTag_detachAndDestruct(&tag)});
      }
      ++finished;
    });
  });
  for (csys_thread& worker : workers) EXPECT_EQ(csys_thread_destruct(&worker), CSYS_OK);
  EXPECT_LE(fired.load(), kControllers * rounds);
  EXPECT_EQ(leftOpen(), open);
}

TEST(StressShutdown, ThreadsEndingWhileTheShutdownRunsRunEveryEndOnceAndLeakNothing) {
  pmtsys_test::PrintCapture printed;          // both reports are on by default
  g_destroyed = g_cleanups = g_failures = 0;  // the churn may have run in this process
  for (int k = 0; k < 2; ++k) EXPECT_EQ(csys_threadLocal_alloc(&g_keys[k], &g_keyFlags[k]), 0);
  constexpr int kThreads = 8;
  static std::atomic<int> started{0}, ready{0};
  static std::atomic<bool> go{false};
  const auto body = [](void*) -> uint32_t {
    const int index = started++;
    leaveThreadState(index);
    ++ready;
    while (!go) os_yield();
    for (int i = 0; i < index * 20; ++i) {  // ends spread over the shutdown
      csys_criticalSection cs{};
      if (csys_criticalSection_construct(&cs) == CSYS_OK) csys_criticalSection_destruct(&cs);
    }
    return 0;
  };
  // No handles: the last thread to end, whichever it is, runs the final stage.
  for (int t = 0; t < kThreads; ++t)
    ASSERT_EQ(csys_thread_create(body, nullptr, nullptr, nullptr), CSYS_OK);
  leaveThreadState(0);  // the calling thread's own
  while (ready < kThreads) os_yield();
  go = true;
  const csys_status status = csys_shutdown();
  EXPECT_TRUE(status == CSYS_OK || status == CSYS_SHUTDOWN_POSTPONED) << status;
  while (csys_shutdown() != CSYS_SHUTDOWN_ALREADY_DONE) os_sleep(1);
  expectEndsOf(kThreads + 1);
  EXPECT_EQ(printed.text(), "");
}

}  // namespace
