// The API mutex with library threads of set priorities: recursion, the order in which queued
// waiters get the lock, the owner's inherited priority, refusals and a stress run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "csys_apiMutex.h"
#include "csys_atomic.h"
#include "support/fault_loop.h"
#include "support/tracking.h"

namespace {

struct Shared {
  csys_apiMutex am{};
  std::string order;  // written only by the owner of am
  int64_t counter = 0;
};

struct Contender {
  Shared* shared;
  char name;
  csys_thread thread{};
};

uint32_t takeOnce(void* arg) {
  auto* c = static_cast<Contender*>(arg);
  EXPECT_EQ(csys_apiMutex_wait(&c->shared->am, 0), CSYS_OK);
  c->shared->order += c->name;
  EXPECT_EQ(csys_apiMutex_unlock(&c->shared->am), CSYS_OK);
  return 0;
}

int32_t queued(csys_apiMutex* am) {
  int32_t acquired = 0, length = 0;
  EXPECT_EQ(csys_mutex_wait(&am->lock, &acquired), CSYS_OK);
  for (const csys_apiMutexWaiter* node = am->queue; node != nullptr; node = node->next) ++length;
  EXPECT_EQ(csys_mutex_unlock(&am->lock), CSYS_OK);
  return length;
}

// Starts a contender at a library priority level and returns once it sleeps in the queue.
void startQueued(Contender* c, int32_t level) {
  const int32_t before = queued(&c->shared->am);
  csys_threadCreateParams params{};
  ASSERT_EQ(csys_threadCreateParams_init(&params), CSYS_OK);
  params.priority = level;
  ASSERT_EQ(csys_thread_construct(&c->thread), CSYS_OK);
  ASSERT_EQ(csys_thread_create(takeOnce, c, &params, &c->thread), CSYS_OK);
  while (queued(&c->shared->am) == before) csys_sleep(0.001);
}

void finish(Contender* c) {
  EXPECT_EQ(csys_thread_waitForTermination(&c->thread), CSYS_OK);
  EXPECT_EQ(csys_thread_destruct(&c->thread), CSYS_OK);
}

int32_t currentLevel() {
  int32_t level = -1;
  EXPECT_EQ(csys_thread_getCurrentPriority(&level), CSYS_OK);
  return level;
}

TEST(ApiMutex, QueuesByPriorityAndTheOwnerInheritsTheMostUrgent) {
  Shared s;
  ASSERT_EQ(csys_thread_setCurrentPriority(1), CSYS_OK);
  ASSERT_EQ(csys_apiMutex_construct(&s.am, 1, 0), CSYS_OK);
  Contender low{&s, 'L'}, high1{&s, 'A'}, high2{&s, 'B'};
  startQueued(&low, 2);
  EXPECT_EQ(currentLevel(), 2);
  startQueued(&high1, 6);
  startQueued(&high2, 6);
  EXPECT_EQ(std::make_pair(currentLevel(), s.am.basePriority), std::make_pair(6, -2));
  // Recursion: only the third unlock frees the lock.
  ASSERT_EQ(csys_apiMutex_wait(&s.am, 0), CSYS_OK);
  ASSERT_EQ(csys_apiMutex_wait(&s.am, 0), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_OK);
  EXPECT_EQ(std::make_pair(s.am.count, queued(&s.am)), std::make_pair(1, 3));
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_OK);
  EXPECT_EQ(currentLevel(), 1);
  for (Contender* c : {&low, &high1, &high2}) finish(c);
  EXPECT_EQ(s.order, "ABL");
  EXPECT_TRUE(s.am.count == 0 && s.am.queue == nullptr);
  EXPECT_EQ(csys_apiMutex_destruct(&s.am), CSYS_OK);
  EXPECT_EQ(csys_thread_setCurrentPriority(4), CSYS_OK);
}

TEST(ApiMutex, RefusesUnlocksByOthersAndNullMutexes) {
  Shared s;
  ASSERT_EQ(csys_apiMutex_construct(&s.am, 0, 0), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_E_OS);  // free
  Contender other{&s, 'X'};
  ASSERT_EQ(csys_thread_construct(&other.thread), CSYS_OK);
  ASSERT_EQ(csys_thread_create(
                [](void* arg) -> uint32_t {
                  return csys_apiMutex_wait(&static_cast<Shared*>(arg)->am, 0) == CSYS_OK ? 0 : 1;
                },
                &s, nullptr, &other.thread),
            CSYS_OK);
  EXPECT_EQ(csys_thread_waitForTermination(&other.thread), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_E_OS);  // owned by the other thread
  EXPECT_EQ(csys_thread_destruct(&other.thread), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_destruct(&s.am), CSYS_OK);
  for (const csys_status status : {csys_apiMutex_wait(nullptr, 0), csys_apiMutex_unlock(nullptr),
                                   csys_apiMutex_destruct(nullptr)}) {
    EXPECT_EQ(status, CSYS_E_INVALID_ARGUMENT);
  }
}

TEST(ApiMutex, FailedLockingConstructionLeavesNothing) {
  Shared s;
  const int32_t before = pmtsys_test::leakRecords();
  pmtsys_test::sweepAllocationFailures([&] { return csys_apiMutex_construct(&s.am, 1, 0); },
                                       [&] { EXPECT_EQ(pmtsys_test::leakRecords(), before); });
  EXPECT_EQ(csys_apiMutex_unlock(&s.am), CSYS_OK);
  EXPECT_EQ(csys_apiMutex_destruct(&s.am), CSYS_OK);
}

uint32_t hammer(void* arg) {
  auto* c = static_cast<Contender*>(arg);
  for (int i = 0; i < 300; ++i) {
    EXPECT_EQ(csys_thread_setCurrentPriority((i + c->name) % 3 * 3), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_wait(&c->shared->am, 0), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_wait(&c->shared->am, 0), CSYS_OK);
    ++c->shared->counter;
    EXPECT_EQ(csys_apiMutex_unlock(&c->shared->am), CSYS_OK);
    EXPECT_EQ(csys_apiMutex_unlock(&c->shared->am), CSYS_OK);
  }
  return 0;
}

TEST(ApiMutex, StressOfRecursiveLockingAtChangingPriorities) {
  Shared s;
  ASSERT_EQ(csys_apiMutex_construct(&s.am, 0, 0), CSYS_OK);
  std::vector<Contender> threads(4, Contender{&s, 0});
  for (size_t i = 0; i < threads.size(); ++i) {
    threads[i].name = static_cast<char>(i);
    ASSERT_EQ(csys_thread_construct(&threads[i].thread), CSYS_OK);
    ASSERT_EQ(csys_thread_create(hammer, &threads[i], nullptr, &threads[i].thread), CSYS_OK);
  }
  for (Contender& c : threads) finish(&c);
  EXPECT_EQ(s.counter, 1200);
  EXPECT_TRUE(s.am.count == 0 && s.am.queue == nullptr);
  EXPECT_EQ(csys_apiMutex_destruct(&s.am), CSYS_OK);
}

}  // namespace
