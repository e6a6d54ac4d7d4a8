// Critical sections of the OS layer: recursion and mutual exclusion between real threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "os/os.h"

namespace {

struct CriticalSection {
  void* storage = std::malloc(os_criticalSectionSize());
  ~CriticalSection() {
    os_criticalSectionDelete(storage);
    std::free(storage);
  }
};

TEST(CriticalSectionOs, RecursiveAndExclusive) {
  CriticalSection cs;
  ASSERT_TRUE(os_criticalSectionInitSpin(cs.storage, 4000));
  os_criticalSectionEnter(cs.storage);
  os_criticalSectionEnter(cs.storage);
  std::atomic<bool> leftTwice{false};
  std::atomic<bool> entered{false};
  std::thread other([&] {
    os_criticalSectionEnter(cs.storage);
    entered = true;
    EXPECT_TRUE(leftTwice);  // the owner's first leave did not let it in
    os_criticalSectionLeave(cs.storage);
  });
  os_criticalSectionLeave(cs.storage);
  os_sleep(20);
  EXPECT_FALSE(entered);
  leftTwice = true;
  os_criticalSectionLeave(cs.storage);
  other.join();
  EXPECT_TRUE(entered);
}

TEST(CriticalSectionOs, CountsStayExactUnderContention) {
  CriticalSection cs;
  ASSERT_TRUE(os_criticalSectionInit(cs.storage));
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20000; ++i) {
        os_criticalSectionEnter(cs.storage);
        ++counter;
        os_criticalSectionLeave(cs.storage);
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(counter, 4 * 20000);
}

}  // namespace
