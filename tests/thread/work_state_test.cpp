// Work state on thread records: defaults, the worker switch and its context reference, groups,
// distinct sequence numbers under concurrent queries, and the refusals of every operation.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include "csys_thread_work.h"
#include "support/report_capture.h"

namespace {

// A caller's object whose references the record takes; never released by the count.
struct Shared {
  cstd_shared block{};
  cstd_ptrh handle{};
  Shared() {
    static constexpr cstd_shared_vtable kOps{nullptr, cstd_shared_increment_default,
                                             cstd_shared_decrement_default};
    const cstd_shared_initParams params{0, nullptr, &kOps};
    EXPECT_EQ(cstd_shared_initCustom(&block, this, &params), CSYS_OK);
    EXPECT_EQ(cstd_ptrh_construct(&handle, &block), CSYS_OK);
  }
  ~Shared() { EXPECT_EQ(cstd_ptrh_destruct(&handle), CSYS_OK); }
  int32_t refs() const {
    int32_t count = -1;
    EXPECT_EQ(cstd_shared_getRefCount(&block, &count), CSYS_OK);
    return count;
  }
};

struct State {
  uint32_t use = 9, worker = 9, sequence = 0;
  int32_t id = 9;
};

State read(const csys_thread* thread, cstd_ptrh* context) {
  State s;
  EXPECT_EQ(csys_thread_getWorkState(thread, &s.use, &s.worker, &s.id, &s.sequence, context),
            CSYS_OK);
  return s;
}

TEST(WorkState, ForeignThreadGetsARecordWithTheDefaults) {
  std::thread([] {
    State s;
    cstd_ptrh context{};
    ASSERT_EQ(cstd_ptrh_construct(&context, nullptr), CSYS_OK);
    EXPECT_EQ(csys_threadGetCurrentThreadWorkState(&s.use, &s.worker, &s.id, &s.sequence, &context),
              CSYS_OK);
    EXPECT_EQ(csys_threadGetCurrentThreadWorkState(&s.use, &s.worker, nullptr, nullptr, nullptr),
              CSYS_OK);  // not asked: the counter stays
    uint32_t second = 0;
    EXPECT_EQ(csys_threadGetCurrentThreadWorkState(&s.use, &s.worker, nullptr, &second, nullptr),
              CSYS_OK);
    EXPECT_EQ(std::vector<uint32_t>({s.use, s.worker, s.sequence, second}),
              std::vector<uint32_t>({1, 0, 1, 2}));
    EXPECT_EQ(s.id, -1);
    EXPECT_EQ(context.shared, nullptr);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
  }).join();
}

TEST(WorkState, WorkerSwitchKeepsOneContextReferenceAndGroupsAreShared) {
  Shared context, group;
  csys_thread self{};
  ASSERT_EQ(csys_thread_constructCurrent(&self), CSYS_OK);
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 7, 12, &context.handle), CSYS_OK);
  EXPECT_EQ(context.refs(), 2);
  cstd_ptrh copy{};
  ASSERT_EQ(cstd_ptrh_construct(&copy, nullptr), CSYS_OK);
  State s = read(&self, &copy);
  EXPECT_EQ(std::make_tuple(s.worker, s.id, copy.shared), std::make_tuple(1u, 12, &context.block));
  EXPECT_EQ(cstd_ptrh_destruct(&copy), CSYS_OK);
  // A null context: flag and id change, the old context stays.
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 1, 13, nullptr), CSYS_E_INVALID_ARGUMENT);
  s = read(&self, nullptr);
  EXPECT_EQ(std::make_tuple(s.worker, s.id, context.refs()), std::make_tuple(1u, 13, 2));
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 0, 14, &context.handle), CSYS_OK);
  s = read(&self, nullptr);
  EXPECT_EQ(std::make_tuple(s.worker, s.id, context.refs()), std::make_tuple(0u, -1, 1));

  uint32_t use = 9;
  EXPECT_EQ(csys_thread_setUseWorkManager(&self, 0), CSYS_OK);
  EXPECT_EQ(csys_thread_getUseWorkManager(&self, &use), CSYS_OK);
  EXPECT_EQ(use, 0u);
  EXPECT_EQ(csys_thread_setUseWorkManager(&self, 5), CSYS_OK);
  EXPECT_EQ(csys_thread_getUseWorkManager(&self, &use), CSYS_OK);
  EXPECT_EQ(use, 1u);

  cstd_ptrh out{};
  ASSERT_EQ(cstd_ptrh_construct(&out, nullptr), CSYS_OK);
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &group.handle), CSYS_OK);
  EXPECT_EQ(csys_thread_getWorkThreadGroup(&self, &out), CSYS_OK);
  EXPECT_EQ(std::make_pair(out.shared, group.refs()), std::make_pair(&group.block, 3));
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &copy), CSYS_OK);  // empty: the field empties
  EXPECT_EQ(csys_thread_getWorkThreadGroup(&self, &out), CSYS_OK);
  EXPECT_TRUE(out.shared == nullptr && group.refs() == 1);
  EXPECT_EQ(csys_thread_destruct(&self), CSYS_OK);
}

TEST(WorkState, ConcurrentQueriesReceiveDistinctSequenceNumbers) {
  csys_thread self{};
  ASSERT_EQ(csys_thread_constructCurrent(&self), CSYS_OK);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<uint32_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (auto& mine : seen) {
    threads.emplace_back([&self, &mine] {
      for (int i = 0; i < kEach; ++i) mine.push_back(read(&self, nullptr).sequence);
    });
  }
  for (auto& thread : threads) thread.join();
  std::vector<uint32_t> all;
  for (const auto& mine : seen) all.insert(all.end(), mine.begin(), mine.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.back() - all.front(), uint32_t{kThreads * kEach - 1});
  EXPECT_EQ(csys_thread_destruct(&self), CSYS_OK);
}

TEST(WorkState, RefusesNullAndEmptyHandlesAndNullOutputs) {
  csys_thread empty{};
  ASSERT_EQ(csys_thread_construct(&empty), CSYS_OK);
  uint32_t u = 0;
  int32_t i = 0;
  cstd_ptrh h{};
  ASSERT_EQ(cstd_ptrh_construct(&h, nullptr), CSYS_OK);
  const std::vector<std::function<csys_status(const csys_thread*)>> operations = {
      [&](const csys_thread* t) { return csys_thread_getWorkState(t, &u, &u, &i, &u, &h); },
      [&](const csys_thread* t) { return csys_thread_setIsWorkerThread(t, 1, 2, &h); },
      [&](const csys_thread* t) { return csys_thread_setUseWorkManager(t, 1); },
      [&](const csys_thread* t) { return csys_thread_getUseWorkManager(t, &u); },
      [&](const csys_thread* t) { return csys_thread_setWorkThreadGroup(t, &h); },
      [&](const csys_thread* t) { return csys_thread_getWorkThreadGroup(t, &h); }};
  for (const auto& operation : operations) {
    EXPECT_EQ(operation(nullptr), CSYS_E_INVALID_ARGUMENT);
    EXPECT_EQ(operation(&empty), CSYS_E_NO_THREAD_RECORD);
  }
  csys_thread self{};
  ASSERT_EQ(csys_thread_constructCurrent(&self), CSYS_OK);
  pmtsys_test::AssertCapture asserts;
  for (const csys_status status :
       {csys_thread_getWorkState(&self, nullptr, &u, nullptr, nullptr, nullptr),
        csys_thread_getWorkState(&self, &u, nullptr, nullptr, nullptr, nullptr),
        csys_threadGetCurrentThreadWorkState(nullptr, &u, nullptr, nullptr, nullptr),
        csys_thread_getUseWorkManager(&self, nullptr),
        csys_thread_setWorkThreadGroup(&self, nullptr),
        csys_thread_getWorkThreadGroup(&self, nullptr)}) {
    EXPECT_EQ(status, CSYS_E_INVALID_ARGUMENT);
  }
  EXPECT_EQ(asserts.count(), 1u);  // the null out pointer of getUseWorkManager
  EXPECT_EQ(csys_thread_destruct(&self), CSYS_OK);
}

}  // namespace
