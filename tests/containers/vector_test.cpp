// The generic vector's growth sizes and refused calls (operation scripts against a model are the
// fuzz target's), and the vector of thread handles: every growth, copy, move and removal keeps
// the record's count in step, a failed growth leaves the vector as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "cstd_vector_csys_thread.h"
#include "fuzz/vector_script.h"
#include "support/fault_loop.h"
#include "support/report_capture.h"

namespace {

using namespace vector_script;

TEST(Vector, GrowsByPowersOfTwoAndReservesExactly) {
  cstd_vector_ v;
  ASSERT_EQ(cstd_vector__construct(&v, 0, 4), CSYS_OK);
  EXPECT_EQ(v.begin, nullptr);
  std::vector<int64_t> capacities;
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cstd_vector__pushBack(&v, &i), CSYS_OK);
    capacities.push_back(v.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int64_t>{1, 2, 4, 4, 8}));
  EXPECT_EQ(cstd_vector__reserve(&v, 10) | cstd_vector__reserve(&v, 3), CSYS_OK);
  EXPECT_EQ(v.capacity, 10);
  EXPECT_EQ(cstd_vector__destruct(&v) | cstd_vector__destruct(&v), CSYS_OK);
  EXPECT_EQ(v.size, -1);
}

int64_t g_asked;  // the byte count the refusing allocator was asked for
constexpr cstd_vector_mtable kRefusing{[](intptr_t size, void**) {
                                         g_asked = size;
                                         return CSYS_E_OUT_OF_MEMORY;
                                       },
                                       nullptr, csys_memory_free_internal};
constexpr cstd_vector_mtable kNoAlloc{nullptr, nullptr, csys_memory_free_internal};

TEST(Vector, RefusedCallsGiveTheirStatusAndChangeNothing) {
  pmtsys_test::AssertCapture asserts;
  cstd_vector_ v, w{};
  ASSERT_EQ(cstd_vector__constructWithVtable(&v, 3, sizeof(Element), &kZeroed), CSYS_OK);
  const cstd_vector_ before = v;
  auto* e = static_cast<Element*>(v.begin);
  void* got = nullptr;
  const csys_status statuses[][2] = {
      {cstd_vector__resize(&v, -1), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__reserve(&v, INT64_MAX / 4), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__resizeFill(&v, 5, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e + 4, e, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e, e, reinterpret_cast<uint8_t*>(e) + 3), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__erase(&v, e + 2, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__assignElements(&v, e, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__getElement(&v, 3, &got), CSYS_E_FAIL},
      {cstd_vector__getElement(&v, -1, &got), CSYS_E_FAIL},
      {cstd_vector__getBeginEnd(&v, nullptr, nullptr), CSYS_E_FAIL},
      // Argument errors leave a record under construction alone; the rest destruct it.
      {cstd_vector__construct(&w, -1, 4), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__constructWithVtableWithMtable(&w, 1, 4, nullptr, &kNoAlloc),
       CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__constructWithVtableUninit(&w, 1, sizeof(Element), &kCounted), CSYS_E_FAIL},
      {cstd_vector__construct(&w, INT64_MAX / 2, 4), CSYS_E_NEGATIVE_SIZE},
      // A byte count above 32 bits reaches the allocator whole.
      {cstd_vector__constructWithVtableWithMtable(&w, 0x10001, 0x10001, nullptr, &kRefusing),
       CSYS_E_OUT_OF_MEMORY},
      {cstd_vector__construct(&w, 1, 2), CSYS_OK},
      {cstd_vector__assign(&v, &w), CSYS_E_FAIL},
  };
  for (const auto& [status, expected] : statuses) EXPECT_EQ(status, expected);
  EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(g_asked, INT64_C(0x100020001));
  EXPECT_EQ(asserts.count(), 8u);
  // A size beyond 32 bits, on a record that only claims it: begin is stored, the size is not.
  cstd_vector_ huge{INT64_C(1) << 31, INT64_C(1) << 31, 1, e, e, nullptr, v.mtable};
  int32_t size32 = 7;
  EXPECT_EQ(cstd_vector__getBeginSize32(&huge, &got, &size32), CSYS_E_FAIL);
  EXPECT_EQ(got, e);
  EXPECT_EQ(size32, 7);
  EXPECT_EQ(cstd_vector__destruct(&v) | cstd_vector__destruct(&w), CSYS_OK);
}

#define TV(op, ...) [&] { return cstd_vector_csys_thread_##op(__VA_ARGS__); }

TEST(ThreadVector, ElementsCountReferencesThroughEveryOperation) {
  csys_thread t{};
  ASSERT_EQ(csys_thread_construct(&t), CSYS_OK);
  ASSERT_EQ(csys_thread_create([](void*) -> uint32_t { return 0; }, nullptr, nullptr, &t), CSYS_OK);
  ASSERT_EQ(csys_thread_waitForTermination(&t), CSYS_OK);
  cstd_vector_csys_thread v{}, copy{};
  csys_thread* at = nullptr;
  // Each step and the references on t after it.
  const std::pair<std::function<csys_status()>, uint32_t> steps[] = {
      {TV(construct, &v, 2), 1},
      {TV(pushBack, &v, &t), 2},
      {TV(resizeFill, &v, 6, &t), 5},
      {TV(constructCopy, &copy, &v), 9},
      {TV(reserve, &v, 100), 9},
      {TV(getBegin, &v, &at), 9},
      {TV(insertElement, &v, at, &t), 10},
      {TV(eraseElement, &v, at + 1), 10},
      {TV(popBack, &v), 9},
      {TV(append, &v, &copy), 13},
      {TV(destruct, &copy), 9},
      {TV(resize, &v, 1), 2},
      {TV(resize, &v, 3), 2},
      {TV(getElement, &v, 2, &at), 2}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(steps[i].first(), CSYS_OK) << "step " << i;
    EXPECT_EQ(t.handle.rep->referenceCount, steps[i].second) << "step " << i;
  }
  uint32_t id = 0;
  EXPECT_EQ(csys_thread_getOSIdentifier(at, &id), CSYS_E_NO_THREAD_RECORD);  // made empty
  const auto state = [&] { return std::tuple(t.handle.rep->referenceCount, v.size, v.capacity); };
  EXPECT_EQ(state(), std::tuple(2u, 3, 100));
  EXPECT_EQ(cstd_vector_csys_thread_resizeUninit(&v, 9), CSYS_E_FAIL);  // elements need making
  pmtsys_test::sweepAllocationFailures(TV(reserve, &v, 500),
                                       [&] { EXPECT_EQ(state(), std::tuple(2u, 3, 100)); });
  // The vector holds the last reference: its destruction destroys the record.
  EXPECT_EQ(csys_thread_destruct(&t) | cstd_vector_csys_thread_destruct(&v), CSYS_OK);
}

}  // namespace
