// The generic vector: model-checked operation scripts through a counting element table (with
// injected element failures), growth sizes, and refused calls.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fuzz/vector_script.h"
#include "support/report_capture.h"

namespace {

using namespace vector_script;

std::vector<uint8_t> randomScript(uint32_t seed, size_t steps) {
  std::mt19937 random(seed);
  std::vector<uint8_t> script(steps * 4);
  for (auto& byte : script) byte = static_cast<uint8_t>(random());
  return script;
}

TEST(Vector, ScriptsMatchTheModelWithEveryElementMadeAndDestroyedOnce) {
  for (const cstd_vector_vtable* table : {&kCounted, &kZeroed}) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
      const auto script = randomScript(seed, 300);
      violations = 0;
      EXPECT_EQ(run(script.data(), script.size(), table), CSYS_OK);
      EXPECT_EQ(violations, 0) << "seed " << seed;
    }
  }
}

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

}  // namespace
