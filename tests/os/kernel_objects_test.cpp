// Unnamed kernel objects and threads of the OS layer where the core never reaches: exact last
// errors, counts above one with previous counts, wait-any on several objects, the handle of a
// thread nobody told the layer about, priorities Windows refuses, an unset slot. The core's tests
// (tests/sync, tests/thread) prove through its statuses what callers see.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/platform.h"

namespace {

TEST(KernelObjectsOs, RefusalsSetTheirErrorAndChangeNothing) {
  os_handle semaphore = os_createSemaphore(0, 3, "");  // an empty name is no name
  os_handle mutex = os_createMutex(false, nullptr);
  os_handle self = os_duplicateCurrentThread();
  EXPECT_TRUE(os_setCurrentThreadPriority(-15));  // raising needs a privilege on some systems
  int32_t previous = -1;
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(previous, 0);
  const auto wait = [](uint32_t result) { return result != OS_WAIT_FAILED; };
  os_handle withNull[] = {semaphore, nullptr};
  const std::pair<std::function<bool()>, uint32_t> refusals[] = {
      {[] { return os_createSemaphore(2, 1, nullptr); }, OS_ERROR_INVALID_PARAMETER},
      {[] { return os_createSemaphore(0, 0, nullptr); }, OS_ERROR_INVALID_PARAMETER},
      {[] { return os_createSemaphore(-1, 1, nullptr); }, OS_ERROR_INVALID_PARAMETER},
      {[&] { return os_releaseSemaphore(semaphore, 2, &previous); }, OS_ERROR_TOO_MANY_POSTS},
      {[&] { return os_releaseSemaphore(semaphore, 0, nullptr); }, OS_ERROR_INVALID_PARAMETER},
      {[&] { return os_releaseMutex(mutex); }, OS_ERROR_NOT_OWNER},
      {[&] { return os_setEvent(semaphore); }, OS_ERROR_INVALID_HANDLE},
      {[&] { return os_releaseMutex(semaphore); }, OS_ERROR_INVALID_HANDLE},
      {[] { return os_closeHandle(nullptr); }, OS_ERROR_INVALID_HANDLE},
      {[&] { return wait(os_waitForSingleObject(nullptr, 0)); }, OS_ERROR_INVALID_HANDLE},
      {[&] { return wait(os_waitForAnyObject(2, withNull, 0)); }, OS_ERROR_INVALID_HANDLE},
      {[&] { return wait(os_waitForAnyObject(0, &semaphore, 0)); }, OS_ERROR_INVALID_PARAMETER},
      {[&] { return wait(os_waitForAnyObject(OS_MAXIMUM_WAIT_OBJECTS + 1, withNull, 0)); },
       OS_ERROR_INVALID_PARAMETER},
      {[] { return os_setCurrentThreadPriority(3); }, OS_ERROR_INVALID_PARAMETER},
      {[] { return os_setCurrentThreadPriority(-3); }, OS_ERROR_INVALID_PARAMETER},
      {[] { return os_setCurrentThreadPriority(6); }, OS_ERROR_INVALID_PARAMETER},
      {[&] { return os_setThreadPriority(self, -7); }, OS_ERROR_INVALID_PARAMETER},
      {[&] { return os_setThreadAffinityMask(self, uint64_t{1} << 63) != 0; },
       OS_ERROR_INVALID_PARAMETER},
  };
  for (size_t row = 0; row < std::size(refusals); ++row) {
    os_setLastError(0);
    EXPECT_FALSE(refusals[row].first()) << "row " << row;
    EXPECT_EQ(os_getLastError(), refusals[row].second) << "row " << row;
  }
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 2);  // no refusal changed the count
  EXPECT_EQ(std::make_pair(os_getThreadPriority(self), os_getCurrentThreadPriority()),
            std::make_pair(-15, -15));
  for (os_handle handle : {semaphore, mutex, self}) os_closeHandle(handle);
  const uint32_t slot = os_tlsAlloc();
  os_setLastError(OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_tlsGetValue(slot), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);  // unset, not failed
  EXPECT_TRUE(os_tlsFree(slot));
}

// Wait-any on two semaphores takes the lowest signalled index and only it; thread handles are
// signalled when their thread ends, one nobody told the layer about too, and stay signalled.
TEST(KernelObjectsOs, WaitAnyOnSemaphoresAndThreads) {
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
  uint32_t id = 0, adoptedId = 0;
  os_handle adopted = nullptr, started = os_beginThread(
                                   64 * 1024, [](void*) { return os_sleep(50), 0u; }, nullptr, &id);
  std::thread([&] {
    adopted = os_duplicateCurrentThread();
    adoptedId = os_getCurrentThreadId();
  }).join();
  EXPECT_TRUE(id != 0 && adoptedId != 0 && adoptedId != os_getCurrentThreadId());
  for (os_handle thread : {started, adopted}) {
    const os_handle semaphoreAndThread[2] = {objects[0], thread};
    EXPECT_EQ(os_waitForAnyObject(2, semaphoreAndThread, OS_INFINITE), OS_WAIT_OBJECT_0 + 1);
    EXPECT_EQ(os_waitForSingleObject(thread, 0), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(os_closeHandle(thread));
  }
  // On Linux a mutex is waited for alone.
  os_handle mixed[] = {objects[0], os_createMutex(false, nullptr)};
#if !defined(_WIN32)
  EXPECT_EQ(os_waitForAnyObject(2, mixed, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
#endif
  EXPECT_EQ(os_waitForAnyObject(1, mixed + 1, 0), OS_WAIT_OBJECT_0);
  for (os_handle handle : {objects[0], objects[1], mixed[1]}) os_closeHandle(handle);
}

}  // namespace
