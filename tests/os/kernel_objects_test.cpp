// Unnamed kernel objects of the OS layer with real threads: mutex ownership and abandonment,
// semaphore maxima, event kinds, time-outs and wait-any.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "os/os.h"
#include "support/platform.h"
#if !defined(_WIN32)
#include <sys/resource.h>

#include "os/posix/syscalls.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Waits (in the test, not the layer) until `done` holds; generous for a loaded machine.
template <class Predicate>
bool eventually(Predicate done) {
  const auto limit = Clock::now() + std::chrono::seconds(20);
  while (!done() && Clock::now() < limit) {
    os_sleep(1);
  }
  return done();
}

#if !defined(_WIN32)
double threadCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_THREAD, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
#endif

TEST(KernelMutexOs, RecursionAndOwnership) {
  os_handle mutex = os_createMutex(true, nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);  // owned twice now
  std::thread([&] {
    EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_TIMEOUT);
    EXPECT_FALSE(os_releaseMutex(mutex));
    EXPECT_EQ(os_getLastError(), OS_ERROR_NOT_OWNER);
  }).join();
  EXPECT_TRUE(os_releaseMutex(mutex));
  EXPECT_TRUE(os_releaseMutex(mutex));
  EXPECT_FALSE(os_releaseMutex(mutex));
  EXPECT_EQ(os_getLastError(), OS_ERROR_NOT_OWNER);
  std::thread([&] { EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0); }).join();
  // Its owner ended: the next wait gets it abandoned, with a recursion count of one.
  EXPECT_EQ(os_waitForSingleObject(mutex, OS_INFINITE), OS_WAIT_ABANDONED_0);
  EXPECT_TRUE(os_releaseMutex(mutex));
  EXPECT_FALSE(os_releaseMutex(mutex));
  // Closing the last handle while holding it releases it first.
  EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
  EXPECT_TRUE(os_closeHandle(mutex));
}

TEST(KernelMutexOs, AbandonedByAThreadHoldingItTwice) {
  for (const uint32_t timeout : {0u, 5000u, OS_INFINITE}) {
    os_handle mutex = os_createMutex(false, nullptr);
    std::thread([&] {
      EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
      EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    }).join();
    EXPECT_EQ(os_waitForSingleObject(mutex, timeout), OS_WAIT_ABANDONED_0);
    EXPECT_EQ(os_waitForSingleObject(mutex, 0), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(os_releaseMutex(mutex));
    EXPECT_TRUE(os_releaseMutex(mutex));
    EXPECT_FALSE(os_releaseMutex(mutex));
    os_closeHandle(mutex);
  }
}

TEST(KernelMutexOs, TimedWaitTimesOutThenGetsTheReleasedMutex) {
  os_handle mutex = os_createMutex(false, nullptr);
  std::atomic<int> stage{0};
  std::thread holder([&] {
    os_waitForSingleObject(mutex, OS_INFINITE);
    stage = 1;
    eventually([&] { return stage == 2; });
    os_releaseMutex(mutex);
  });
  ASSERT_TRUE(eventually([&] { return stage == 1; }));
  const auto start = Clock::now();
  EXPECT_EQ(os_waitForSingleObject(mutex, 30), OS_WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
  stage = 2;
  EXPECT_EQ(os_waitForSingleObject(mutex, 20000), OS_WAIT_OBJECT_0);
  holder.join();
  EXPECT_TRUE(os_releaseMutex(mutex));
  os_closeHandle(mutex);
}

TEST(KernelSemaphoreOs, ParametersAndMaximum) {
  for (const auto& [initial, maximum] : {std::pair{2, 1}, {0, 0}, {-1, 1}}) {
    os_setLastError(0);
    EXPECT_EQ(os_createSemaphore(initial, maximum, nullptr), nullptr);
    EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  }
  os_handle semaphore = os_createSemaphore(0, 3, "");
  ASSERT_NE(semaphore, nullptr);
  int32_t previous = -1;
  EXPECT_EQ(os_waitForSingleObject(semaphore, 0), OS_WAIT_TIMEOUT);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(os_releaseSemaphore(semaphore, 2, &previous));  // 4 > 3: nothing changes
  EXPECT_EQ(os_getLastError(), OS_ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(previous, 0);
  EXPECT_FALSE(os_releaseSemaphore(semaphore, 0, nullptr));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 1, &previous));
  EXPECT_EQ(previous, 2);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(os_waitForSingleObject(semaphore, 0x7FFFFFFF), OS_WAIT_OBJECT_0);
  }
  EXPECT_EQ(os_waitForSingleObject(semaphore, 0), OS_WAIT_TIMEOUT);
  // Wrong types and null handles.
  EXPECT_FALSE(os_setEvent(semaphore));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_HANDLE);
  EXPECT_FALSE(os_releaseMutex(semaphore));
  EXPECT_EQ(os_waitForSingleObject(nullptr, 0), OS_WAIT_FAILED);
  EXPECT_FALSE(os_closeHandle(nullptr));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_HANDLE);
  os_closeHandle(semaphore);
}

TEST(KernelSemaphoreOs, ProducersAndConsumersBalance) {
  os_handle semaphore = os_createSemaphore(0, 1000000, nullptr);
  // Each call is a system call on Windows: fewer rounds there.
  const int perThread = pmtsys_test::stressIterations(2000);
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        os_releaseSemaphore(semaphore, 1, nullptr);
      }
    });
    threads.emplace_back([&] {
      for (int i = 0; i < perThread; ++i) {
        consumed += os_waitForSingleObject(semaphore, OS_INFINITE) == OS_WAIT_OBJECT_0;
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(consumed, 2 * perThread);
  EXPECT_EQ(os_waitForSingleObject(semaphore, 0), OS_WAIT_TIMEOUT);
  os_closeHandle(semaphore);
}

TEST(KernelEventOs, ManualAndAutoResetStates) {
  os_handle manual = os_createEvent(true, false, nullptr);
  os_handle automatic = os_createEvent(false, true, nullptr);
  EXPECT_EQ(os_waitForSingleObject(manual, 0), OS_WAIT_TIMEOUT);
  EXPECT_TRUE(os_setEvent(manual));
  EXPECT_EQ(os_waitForSingleObject(manual, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForSingleObject(manual, 0), OS_WAIT_OBJECT_0);
  EXPECT_TRUE(os_resetEvent(manual));
  EXPECT_EQ(os_waitForSingleObject(manual, 0), OS_WAIT_TIMEOUT);
  EXPECT_EQ(os_waitForSingleObject(automatic, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForSingleObject(automatic, 0), OS_WAIT_TIMEOUT);
  // Time-outs never end early.
  for (const uint32_t timeout : {1u, 7u, 49u}) {
    const auto start = Clock::now();
    EXPECT_EQ(os_waitForSingleObject(automatic, timeout), OS_WAIT_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(timeout));
  }
  os_closeHandle(manual);
  os_closeHandle(automatic);
}

// Four waiters, one set: a manual-reset event wakes all four, an auto-reset event one per set.
TEST(KernelEventOs, OneSetWakesAllOrOne) {
  for (const bool manualReset : {true, false}) {
    os_handle event = os_createEvent(manualReset, false, nullptr);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
      waiters.emplace_back([&] { woken += os_waitForSingleObject(event, OS_INFINITE) == 0; });
    }
    os_sleep(50);  // most likely all asleep; the counts below hold either way
    EXPECT_TRUE(os_setEvent(event));
    const int expected = manualReset ? 4 : 1;
    EXPECT_TRUE(eventually([&] { return woken == expected; }));
    os_sleep(50);
    EXPECT_EQ(woken, expected);
    for (int i = 1; i < 4 && !manualReset; ++i) {
      os_setEvent(event);
      EXPECT_TRUE(eventually([&] { return woken == i + 1; }));
    }
    for (auto& waiter : waiters) {
      waiter.join();
    }
    EXPECT_EQ(os_waitForSingleObject(event, 0), manualReset ? OS_WAIT_OBJECT_0 : OS_WAIT_TIMEOUT);
    os_closeHandle(event);
  }
}

TEST(KernelWaitAnyOs, LowestSignalledIndexWinsAndOnlyItIsTaken) {
  os_handle objects[] = {os_createSemaphore(0, 5, nullptr), os_createEvent(false, false, nullptr)};
  const auto start = Clock::now();
  EXPECT_EQ(os_waitForAnyObject(2, objects, 25), OS_WAIT_TIMEOUT);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(25));
  os_setEvent(objects[1]);
  os_releaseSemaphore(objects[0], 1, nullptr);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_TIMEOUT);
  // Asleep until another thread signals the second object, without spending CPU on it.
  for (const uint32_t index : {1u, 0u}) {
    std::thread signaller([&] {
      os_sleep(300);
      index == 1 ? os_setEvent(objects[1]) : os_releaseSemaphore(objects[0], 1, nullptr);
    });
#if !defined(_WIN32)
    const double cpu = threadCpuSeconds();
#endif
    EXPECT_EQ(os_waitForAnyObject(2, objects, OS_INFINITE), OS_WAIT_OBJECT_0 + index);
#if !defined(_WIN32)
    EXPECT_LT(threadCpuSeconds() - cpu, 0.1);
#endif
    signaller.join();
  }
  EXPECT_EQ(os_waitForAnyObject(2, objects, 0), OS_WAIT_TIMEOUT);
  // Bad counts and null handles; on Linux, a mutex is waited for alone.
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
  for (os_handle handle : {objects[0], objects[1], mixed[1]}) {
    os_closeHandle(handle);
  }
}

#if !defined(_WIN32)
TEST(KernelWaitAnyOs, ClockFailureFailsTheWait) {
  os_handle event = os_createEvent(true, false, nullptr);
  os_sys.clock_gettime = [](clockid_t, timespec*) {
    errno = EINVAL;
    return -1;
  };
  EXPECT_EQ(os_waitForSingleObject(event, 10), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(os_waitForSingleObject(event, 0), OS_WAIT_TIMEOUT);  // no clock needed
  os_posixSyscallsReset();
  os_closeHandle(event);
}
#endif

}  // namespace
