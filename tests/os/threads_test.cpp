// The OS layer's threads and thread-local slots where the core does not reach: the handle of a
// thread nobody told the layer about, priorities and masks Windows refuses, an unset slot.
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

// Raising needs a privilege on some systems: only lowering is checked.
TEST(OsThreads, RefusedPrioritiesMasksAndSlots) {
  os_handle self = os_duplicateCurrentThread();
  ASSERT_NE(self, nullptr);
  int32_t current = 0;
  for (const auto& [priority, accepted] :
       {std::pair{-15, true}, {-1, true}, {3, false}, {-3, false}, {6, false}, {-7, false}}) {
    EXPECT_EQ(os_setCurrentThreadPriority(priority), accepted) << priority;
    EXPECT_TRUE(accepted || os_getLastError() == OS_ERROR_INVALID_PARAMETER) << priority;
    current = accepted ? priority : current;
    EXPECT_EQ(os_getThreadPriority(self), current);
    EXPECT_EQ(os_getCurrentThreadPriority(), current);
  }
  EXPECT_EQ(os_setThreadAffinityMask(self, uint64_t{1} << 63), 0u);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(os_closeHandle(self));
  const uint32_t slot = os_tlsAlloc();
  os_setLastError(OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_tlsGetValue(slot), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);  // unset, not failed
  EXPECT_TRUE(os_tlsFree(slot));
}

}  // namespace
