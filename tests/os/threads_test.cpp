// The OS layer's threads and thread-local slots, as the core relies on them on every backend.
#include <gtest/gtest.h>

#include <thread>

#include "os/os.h"

namespace {

uint32_t sleepBriefly(void* /*argument*/) {
  os_sleep(50);
  return 0;
}

TEST(OsThreads, HandlesAreSignalledWhenTheirThreadEnds) {
  os_handle semaphore = os_createSemaphore(0, 1, nullptr);
  uint32_t id = 0, adoptedId = 0;
  os_handle started = os_beginThread(64 * 1024, sleepBriefly, nullptr, &id), adopted = nullptr;
  // A thread nobody tells the layer about: its duplicate is signalled all the same.
  std::thread([&] {
    adopted = os_duplicateCurrentThread();
    adoptedId = os_getCurrentThreadId();
  }).join();
  EXPECT_TRUE(id != 0 && adoptedId != 0 && adoptedId != os_getCurrentThreadId());
  for (os_handle thread : {started, adopted}) {
    ASSERT_NE(thread, nullptr);
    const os_handle objects[2] = {semaphore, thread};
    EXPECT_EQ(os_waitForAnyObject(2, objects, OS_INFINITE), OS_WAIT_OBJECT_0 + 1);
    EXPECT_EQ(os_waitForSingleObject(thread, 0), OS_WAIT_OBJECT_0);  // stays signalled
    EXPECT_TRUE(os_closeHandle(thread));
  }
  EXPECT_TRUE(os_closeHandle(semaphore));
}

TEST(OsThreads, PrioritiesReadBackAsSetAndOthersAreRefused) {
  os_handle self = os_duplicateCurrentThread();
  ASSERT_NE(self, nullptr);
  // Raising needs a privilege on some systems: only the values Windows accepts are checked.
  for (int32_t priority : {-15, -2, -1, 0}) {
    EXPECT_TRUE(os_setThreadPriority(self, priority)) << priority;
    EXPECT_EQ(os_getThreadPriority(self), priority);
    EXPECT_EQ(os_getCurrentThreadPriority(), priority);
  }
  for (int32_t priority : {3, -3, 6, -7}) {
    EXPECT_FALSE(os_setCurrentThreadPriority(priority)) << priority;
    EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(os_getThreadPriority(self), 0);
  }
  EXPECT_EQ(os_setThreadAffinityMask(self, 0), 0u);
  EXPECT_EQ(os_setThreadAffinityMask(self, uint64_t{1} << 63), 0u);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os_closeHandle(self));
}

TEST(OsThreads, SlotsUseWindowsNumberingAndFailureValues) {
  const uint32_t slot = os_tlsAlloc();
  ASSERT_NE(slot, OS_TLS_OUT_OF_INDEXES);
  os_setLastError(OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_tlsGetValue(slot), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);  // unset, not failed
  int value = 0;
  EXPECT_TRUE(os_tlsSetValue(slot, &value));
  EXPECT_EQ(os_tlsGetValue(slot), &value);
  EXPECT_TRUE(os_tlsFree(slot));
  EXPECT_EQ(os_tlsGetValue(5000), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(os_tlsFree(5000));
}

}  // namespace
