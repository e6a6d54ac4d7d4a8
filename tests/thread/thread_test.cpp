// Thread creation, its parameters and the wait for its end; priorities and refusals. Work state:
// defaults, the worker switch and the references it keeps, distinct sequence numbers.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "csys_thread.h"
#include "csys_thread_work.h"
#include "support/report_capture.h"

namespace {

// A thread's own view of itself: name, priority, id.
using Observed = std::tuple<const char*, int32_t, uint32_t>;

uint32_t observe(void* argument) {
  auto& [name, priority, id] = *static_cast<Observed*>(argument);
  EXPECT_EQ(csys_thread_getCurrentThreadName(&name) | csys_thread_getCurrentPriority(&priority) |
                csys_thread_getCurrentThreadOSIdentifier(&id),
            CSYS_OK);
  return 0;
}

TEST(ThreadCreate, ParametersReachTheThreadAndWaitersAllReturn) {
  const std::pair<int32_t, int32_t> cases[] = {// asked for, read
                                               {3, 2},
                                               {5, 5},
                                               {0, 0},
                                               {CSYS_THREAD_PRIORITY_FROM_CREATOR, 4}};
  for (const auto& [asked, reads] : cases) {
    static const char kName[] = "worker";
    const csys_threadCreateParams params{asked, 64 * 1024, kName};
    Observed observed{};
    csys_thread thread{};
    ASSERT_EQ(csys_thread_construct(&thread), CSYS_OK);
    ASSERT_EQ(csys_thread_create(observe, &observed, &params, &thread), CSYS_OK);
    std::thread other([&] { EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK); });
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    other.join();
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    Observed outside{kName, reads, 0};  // the very pointer of the name
    EXPECT_EQ(csys_thread_getOSIdentifier(&thread, &std::get<2>(outside)) |
                  csys_thread_getPriority(&thread, &std::get<1>(outside)),
              CSYS_OK);
    EXPECT_EQ(observed, outside) << asked;
    EXPECT_EQ(std::get<1>(outside), reads);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);
  }
  const char* name = "x";  // a thread the library did not start has none
  EXPECT_EQ(csys_thread_getCurrentThreadName(&name), CSYS_OK);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
}

TEST(Thread, InitialPrioritiesAndRefusedArguments) {
  pmtsys_test::AssertCapture asserts;
  const int32_t expected[] = {-1, -1, 4, 7, -1, -1, -1, -1, 6};
  int32_t priority = 0;
  for (int32_t kind = -2; kind <= 6; ++kind) {
    EXPECT_EQ(csys_thread_getInitialThreadPriority(kind, &priority), CSYS_OK);
    EXPECT_EQ(priority, expected[kind + 2]) << kind;
  }
  csys_thread self{};
  uint32_t slot = 0;
  void* value = nullptr;
  ASSERT_EQ(csys_thread_constructCurrent(&self) | qzf_OSThreadLocalAlloc(&slot), CSYS_OK);
  std::thread([&] { EXPECT_EQ(qzf_OSThreadLocalValueSet(slot, &slot), CSYS_OK); }).join();
  const std::pair<csys_status, csys_status> rows[] = {
      {qzf_OSThreadLocalFree(slot), CSYS_OK},  // a value still held: harmless
      {qzf_OSThreadLocalAlloc(nullptr), CSYS_E_INVALID_ARGUMENT},
      {qzf_OSThreadLocalValueGet(5000, &value), CSYS_E_OS},
      {qzf_OSThreadLocalValueSet(5000, nullptr), CSYS_E_OS},
      {qzf_OSThreadLocalFree(5000), CSYS_E_OS},
      {csys_thread_waitForTermination(nullptr), CSYS_E_INVALID_ARGUMENT},
      {csys_thread_setAffinity(&self, 0), CSYS_E_FAIL},
      {csys_thread_getInitialThreadPriority(9, &priority), CSYS_E_UNKNOWN_THREAD_KIND},
      {priority, -999},
      {csys_thread_setPriority(&self, 9), CSYS_OK},  // asserts, sets normal
      {csys_thread_getPriority(&self, &priority), CSYS_OK},
      {priority, 4}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(csys_thread_destruct(&self), CSYS_OK);
  EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
}

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
