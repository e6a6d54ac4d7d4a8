// The API mutex with library threads of set priorities: recursion, the order in which queued
// waiters get the lock, the owner's inherited priority, refusals and a stress run.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "csys_apiMutex.h"
#include "csys_atomic.h"
#include "support/tracking.h"

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

}  // namespace
