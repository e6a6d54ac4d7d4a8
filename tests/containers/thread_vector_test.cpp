// The vector of thread handles: each element holds a reference, and every growth, copy, move
// and removal keeps the record's count in step.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cstd_vector_csys_thread.h"
#include "support/fault_loop.h"

namespace {

uint32_t refs(const csys_thread& thread) {
  uint32_t count = 0;
  EXPECT_EQ(qzsfRepBase_ReferenceCountGet(thread.handle.rep, &count), CSYS_OK);
  return count;
}

struct Step {
  std::function<csys_status()> run;
  uint32_t refs;  // the record's count afterwards
  int32_t size;
};

TEST(ThreadVector, ElementsCountReferencesThroughEveryOperation) {
  csys_thread t{};
  ASSERT_EQ(csys_thread_construct(&t), CSYS_OK);
  ASSERT_EQ(csys_thread_create([](void*) -> uint32_t { return 0; }, nullptr, nullptr, &t), CSYS_OK);
  ASSERT_EQ(csys_thread_waitForTermination(&t), CSYS_OK);
  ASSERT_EQ(refs(t), 1u);
  cstd_vector_csys_thread v{}, copy{};
  csys_thread* at = nullptr;
  const std::vector<Step> steps = {
      {[&] { return cstd_vector_csys_thread_construct(&v, 2); }, 1, 2},
      {[&] { return cstd_vector_csys_thread_pushBack(&v, &t); }, 2, 3},
      {[&] { return cstd_vector_csys_thread_resizeFill(&v, 6, &t); }, 5, 6},
      {[&] { return cstd_vector_csys_thread_constructCopy(&copy, &v); }, 9, 6},
      {[&] { return cstd_vector_csys_thread_reserve(&v, 100); }, 9, 6},
      {[&] { return cstd_vector_csys_thread_getBegin(&v, &at); }, 9, 6},
      {[&] { return cstd_vector_csys_thread_insertElement(&v, at, &t); }, 10, 7},
      {[&] { return cstd_vector_csys_thread_eraseElement(&v, at + 1); }, 10, 6},
      {[&] { return cstd_vector_csys_thread_popBack(&v); }, 9, 5},
      {[&] { return cstd_vector_csys_thread_constructUninit(&v, 4); }, 9, 5},
      {[&] { return cstd_vector_csys_thread_resizeUninit(&v, 9); }, 9, 5},
      {[&] { return cstd_vector_csys_thread_append(&v, &copy); }, 13, 11},
      {[&] { return cstd_vector_csys_thread_destruct(&copy); }, 9, 11},
      {[&] { return cstd_vector_csys_thread_resize(&v, 1); }, 2, 1},
      {[&] { return cstd_vector_csys_thread_resize(&v, 3); }, 2, 3},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    const bool refused = i == 9 || i == 10;
    EXPECT_EQ(steps[i].run(), refused ? CSYS_E_FAIL : CSYS_OK) << "step " << i;
    int32_t size = -1;
    EXPECT_EQ(cstd_vector_csys_thread_getSize(&v, &size), CSYS_OK);
    EXPECT_EQ(std::make_pair(refs(t), size), std::make_pair(steps[i].refs, steps[i].size))
        << "step " << i;
  }
  uint32_t id = 0;
  ASSERT_EQ(cstd_vector_csys_thread_getElement(&v, 2, &at), CSYS_OK);
  EXPECT_EQ(csys_thread_getOSIdentifier(at, &id), CSYS_E_NO_THREAD_RECORD);  // made empty
  int64_t capacity = 0;
  const auto unchanged = [&] {
    EXPECT_EQ(cstd_vector_csys_thread_getCapacity(&v, &capacity), CSYS_OK);
    EXPECT_EQ(std::make_pair(refs(t), capacity), std::make_pair(2u, int64_t{100}));
  };
  pmtsys_test::sweepAllocationFailures([&] { return cstd_vector_csys_thread_reserve(&v, 500); },
                                       unchanged);
  // The vector holds the last reference: its destruction destroys the record.
  EXPECT_EQ(csys_thread_destruct(&t), CSYS_OK);
  EXPECT_EQ(cstd_vector_csys_thread_destruct(&v), CSYS_OK);
}

}  // namespace
