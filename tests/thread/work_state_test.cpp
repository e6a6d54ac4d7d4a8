// Work state: defaults of a new record, the worker switch and the references it keeps, distinct
// sequence numbers under concurrent queries, refusals.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

#include "csys_thread_work.h"

namespace {

using State = std::tuple<csys_status, uint32_t, uint32_t, int32_t, uint32_t, cstd_shared*>;

State read(const csys_thread* thread) {  // null thread: the calling thread's own query
  uint32_t use = 9, worker = 9, sequence = 0;
  int32_t id = 9;
  cstd_ptrh context{};
  EXPECT_EQ(cstd_ptrh_construct(&context, nullptr), CSYS_OK);
  const csys_status status =
      thread ? csys_thread_getWorkState(thread, &use, &worker, &id, &sequence, &context)
             : csys_threadGetCurrentThreadWorkState(&use, &worker, &id, &sequence, &context);
  const State state{status, use, worker, id, sequence, context.shared};
  EXPECT_EQ(cstd_ptrh_destruct(&context), CSYS_OK);
  return state;
}

TEST(WorkState, DefaultsWorkerSwitchGroupsAndRefusals) {
  std::thread([] {  // a thread the library never saw
    EXPECT_EQ(read(nullptr), State(CSYS_OK, 1, 0, -1, 1, nullptr));
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
  })
      .join();
  cstd_shared block{};  // counted by the handles, never released through them
  static constexpr cstd_shared_vtable kOps{nullptr, cstd_shared_increment_default,
                                           cstd_shared_decrement_default};
  const cstd_shared_initParams params{0, nullptr, &kOps};
  ASSERT_EQ(cstd_shared_initCustom(&block, &block, &params), CSYS_OK);
  cstd_ptrh mine{}, empty{};
  ASSERT_EQ(cstd_ptrh_construct(&mine, &block) | cstd_ptrh_construct(&empty, nullptr), CSYS_OK);
  csys_thread self{};
  const csys_thread none{};
  ASSERT_EQ(csys_thread_constructCurrent(&self), CSYS_OK);
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 7, 12, &mine), CSYS_OK);
  EXPECT_EQ(read(&self), State(CSYS_OK, 1, 1, 12, 1, &block));
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 1, 13, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(read(&self), State(CSYS_OK, 1, 1, 13, 2, &block));
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 0, 14, &mine), CSYS_OK);
  EXPECT_EQ(csys_thread_setUseWorkManager(&self, 0), CSYS_OK);
  EXPECT_EQ(read(&self), State(CSYS_OK, 0, 0, -1, 3, nullptr));
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &mine), CSYS_OK);
  EXPECT_EQ(csys_thread_getWorkThreadGroup(&self, &empty), CSYS_OK);
  EXPECT_EQ(std::make_pair(empty.shared, block.ownCount), std::make_pair(&block, 3));
  EXPECT_EQ(cstd_ptrh_destruct(&mine), CSYS_OK);
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &mine), CSYS_OK);  // empty: the field empties
  EXPECT_EQ(block.ownCount, 1);
  // Concurrent queries receive distinct numbers.
  std::set<uint32_t> seen[2];
  std::thread other([&] {
    for (int i = 0; i < 2000; ++i) seen[1].insert(std::get<4>(read(&self)));
  });
  for (int i = 0; i < 2000; ++i) seen[0].insert(std::get<4>(read(&self)));
  other.join();
  seen[0].insert(seen[1].begin(), seen[1].end());
  EXPECT_EQ(seen[0].size(), 4000u);
  const csys_thread* const refused[] = {nullptr, &none};
  for (const csys_thread* thread : refused) {
    const csys_status expected = thread ? CSYS_E_NO_THREAD_RECORD : CSYS_E_INVALID_ARGUMENT;
    uint32_t u = 0;
    for (const csys_status status :
         {csys_thread_getWorkState(thread, &u, &u, nullptr, nullptr, nullptr),
          csys_thread_setIsWorkerThread(thread, 1, 2, &empty),
          csys_thread_setUseWorkManager(thread, 1), csys_thread_getUseWorkManager(thread, &u),
          csys_thread_setWorkThreadGroup(thread, &empty),
          csys_thread_getWorkThreadGroup(thread, &empty)}) {
      EXPECT_EQ(status, expected);
    }
  }
  EXPECT_EQ(csys_thread_destruct(&self) | cstd_ptrh_destruct(&empty), CSYS_OK);
}

}  // namespace
