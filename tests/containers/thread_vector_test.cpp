// The vector of thread handles: every growth, copy, move and removal keeps the record's count
// in step, refused operations change nothing, a failed growth leaves the vector as it was.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "cstd_vector_csys_thread.h"
#include "support/fault_loop.h"

namespace {

TEST(ThreadVector, ElementsCountReferencesThroughEveryOperation) {
  csys_thread t{};
  ASSERT_EQ(csys_thread_construct(&t), CSYS_OK);
  ASSERT_EQ(csys_thread_create([](void*) -> uint32_t { return 0; }, nullptr, nullptr, &t), CSYS_OK);
  ASSERT_EQ(csys_thread_waitForTermination(&t), CSYS_OK);
  cstd_vector_csys_thread v{}, copy{};
  csys_thread* at = nullptr;
  using V = cstd_vector_csys_thread*;
  const auto state = [&](V vector) {  // (references on t, size, capacity)
    int32_t size = -1;
    int64_t capacity = -1;
    EXPECT_EQ(cstd_vector_csys_thread_getSize(vector, &size), CSYS_OK);
    EXPECT_EQ(cstd_vector_csys_thread_getCapacity(vector, &capacity), CSYS_OK);
    return std::make_tuple(t.handle.rep->referenceCount, size, capacity);
  };
  const std::vector<std::pair<std::function<csys_status()>, uint32_t>> steps = {
      {[&] { return cstd_vector_csys_thread_construct(&v, 2); }, 1},
      {[&] { return cstd_vector_csys_thread_pushBack(&v, &t); }, 2},
      {[&] { return cstd_vector_csys_thread_resizeFill(&v, 6, &t); }, 5},
      {[&] { return cstd_vector_csys_thread_constructCopy(&copy, &v); }, 9},
      {[&] { return cstd_vector_csys_thread_reserve(&v, 100); }, 9},
      {[&] { return cstd_vector_csys_thread_getBegin(&v, &at); }, 9},
      {[&] { return cstd_vector_csys_thread_insertElement(&v, at, &t); }, 10},
      {[&] { return cstd_vector_csys_thread_eraseElement(&v, at + 1); }, 10},
      {[&] { return cstd_vector_csys_thread_popBack(&v); }, 9},
      {[&] { return cstd_vector_csys_thread_append(&v, &copy); }, 13},
      {[&] { return cstd_vector_csys_thread_destruct(&copy); }, 9},
      {[&] {
         return cstd_vector_csys_thread_resize(&v, 1) | cstd_vector_csys_thread_resize(&v, 3);
       },
       2}};
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(steps[i].first(), CSYS_OK) << "step " << i;
    EXPECT_EQ(t.handle.rep->referenceCount, steps[i].second) << "step " << i;
  }
  uint32_t id = 0;
  ASSERT_EQ(cstd_vector_csys_thread_getElement(&v, 2, &at), CSYS_OK);
  EXPECT_EQ(csys_thread_getOSIdentifier(at, &id), CSYS_E_NO_THREAD_RECORD);  // made empty
  const auto before = state(&v);
  EXPECT_EQ(before, std::make_tuple(2u, 3, int64_t{100}));
  EXPECT_EQ(cstd_vector_csys_thread_constructUninit(&v, 4), CSYS_E_FAIL);
  EXPECT_EQ(cstd_vector_csys_thread_resizeUninit(&v, 9), CSYS_E_FAIL);
  pmtsys_test::sweepAllocationFailures([&] { return cstd_vector_csys_thread_reserve(&v, 500); },
                                       [&] { EXPECT_EQ(state(&v), before); });
  // The vector holds the last reference: its destruction destroys the record.
  EXPECT_EQ(csys_thread_destruct(&t) | cstd_vector_csys_thread_destruct(&v), CSYS_OK);
}

}  // namespace
