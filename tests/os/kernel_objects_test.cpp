// Unnamed kernel objects and critical sections of the OS layer with real threads. The core's
// tests (tests/sync) already prove semaphore maxima, event kinds with several waiters, time-outs,
// abandonment, mutex recursion and non-owner release through its statuses; these tests cover what
// those statuses hide: exact last errors, previous counts, the timed mutex path, a critical
// section's nested leave, and wait-any, which the core uses only to wait for a thread's end.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/platform.h"

namespace {

// The last error after a call that must fail; ~0u when it succeeded.
template <class Result>
uint32_t errorOf(Result result) {
  return result ? ~0u : os_getLastError();
}

// Another thread: refused release with its exact error, then a timed wait that times out and
// one that the owner's release ends. (The core's tests prove abandonment and recursion.)
TEST(KernelMutexOs, RefusedReleaseAndTimedWaitsEndedByTheRelease) {
  os_handle mutex = os_createMutex(true, nullptr);
  std::atomic<bool> timedOut{false};
  std::thread other([&] {
    EXPECT_EQ(errorOf(os_releaseMutex(mutex)), OS_ERROR_NOT_OWNER);
    EXPECT_EQ(os_waitForSingleObject(mutex, 30), OS_WAIT_TIMEOUT);
    timedOut = true;
    EXPECT_EQ(os_waitForSingleObject(mutex, 20000), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(os_releaseMutex(mutex));
  });
  while (!timedOut) os_sleep(1);
  os_sleep(20);  // most likely blocked in its timed wait by now
  EXPECT_TRUE(os_releaseMutex(mutex));
  other.join();
  os_closeHandle(mutex);
}

TEST(KernelSemaphoreOs, ParametersPreviousCountsAndErrors) {
  for (const auto& [initial, maximum] : {std::pair{2, 1}, {0, 0}, {-1, 1}}) {
    os_setLastError(0);
    EXPECT_EQ(errorOf(os_createSemaphore(initial, maximum, nullptr)), OS_ERROR_INVALID_PARAMETER);
  }
  os_handle semaphore = os_createSemaphore(0, 3, "");  // an empty name is no name
  int32_t previous = -1;
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_EQ(errorOf(os_releaseSemaphore(semaphore, 2, &previous)), OS_ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(errorOf(os_releaseSemaphore(semaphore, 0, nullptr)), OS_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 2);  // neither refusal changed the count
  // Wrong types and null handles.
  EXPECT_EQ(errorOf(os_setEvent(semaphore)), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(errorOf(os_releaseMutex(semaphore)), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(errorOf(os_closeHandle(nullptr)), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(os_waitForSingleObject(nullptr, 0), OS_WAIT_FAILED);
  os_closeHandle(semaphore);
}

// Wait-any (the core never uses it) on two semaphores.
TEST(KernelWaitAnyOs, LowestSignalledIndexWinsAndOnlyItIsTaken) {
  os_handle objects[] = {os_createSemaphore(0, 1000000, nullptr),
                         os_createSemaphore(0, 1000000, nullptr)};
  EXPECT_EQ(os_waitForAnyObject(2, objects, 25), OS_WAIT_TIMEOUT);
  os_releaseSemaphore(objects[1], 1, nullptr);
  os_releaseSemaphore(objects[0], 1, nullptr);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_TIMEOUT);
  // Producers release both while consumers take from either: every unit is taken exactly once (a
  // lost wake-up hangs, a double hand-over leaves the count short).
  const int perThread = pmtsys_test::stressIterations(2000);  // system calls on Windows
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < perThread; ++i) os_releaseSemaphore(objects[(i + t) % 2], 1, nullptr);
    });
    threads.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        consumed += os_waitForAnyObject(2, objects, OS_INFINITE) <= OS_WAIT_OBJECT_0 + 1;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(consumed, 2 * perThread);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_TIMEOUT);
  // Bad arguments. On Linux, a mutex is waited for alone.
  os_handle mixed[] = {objects[0], os_createMutex(false, nullptr)};
#if !defined(_WIN32)
  EXPECT_EQ(os_waitForAnyObject(2, mixed, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
#endif
  EXPECT_EQ(os_waitForAnyObject(1, mixed + 1, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForAnyObject(0, objects, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_waitForAnyObject(OS_MAXIMUM_WAIT_OBJECTS + 1, objects, 0), OS_WAIT_FAILED);
  os_handle withNull[] = {objects[0], nullptr};
  EXPECT_EQ(os_waitForAnyObject(2, withNull, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_HANDLE);
  for (os_handle handle : {objects[0], objects[1], mixed[1]}) os_closeHandle(handle);
}

// The owner's first leave of two must not let another thread in (the core's exclusion test
// cannot tell a lock that ignores nested entry from a recursive one).
TEST(CriticalSectionOs, NestedEntryNeedsAsManyLeaves) {
  void* cs = std::malloc(os_criticalSectionSize());
  ASSERT_TRUE(os_criticalSectionInitSpin(cs, 4000));
  os_criticalSectionEnter(cs);
  os_criticalSectionEnter(cs);
  std::atomic<bool> leftTwice{false};
  std::thread other([&] {
    os_criticalSectionEnter(cs);
    EXPECT_TRUE(leftTwice);
    os_criticalSectionLeave(cs);
  });
  os_criticalSectionLeave(cs);
  os_sleep(20);
  leftTwice = true;
  os_criticalSectionLeave(cs);
  other.join();
  os_criticalSectionDelete(cs);
  std::free(cs);
}

}  // namespace
