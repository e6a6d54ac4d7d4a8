// The generic vector: operation scripts against a model through a counting element table (with
// injected element failures and an allocation-failure sweep), growth and reserve sizes, and the
// status and untouched record of every refused call.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fuzz/vector_script.h"
#include "support/fault_loop.h"
#include "support/report_capture.h"

namespace {

using namespace vector_script;

std::vector<uint8_t> randomScript(uint32_t seed, size_t steps) {
  std::mt19937 random(seed);
  std::vector<uint8_t> script(steps * 4);
  for (auto& byte : script) byte = static_cast<uint8_t>(random());
  return script;
}

TEST(Vector, ScriptsMatchTheModelAndPairEveryConstructionWithADestruction) {
  for (const cstd_vector_vtable* table : {&kCounted, &kZeroed}) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
      const auto script = randomScript(seed, 300);
      violations = 0;
      EXPECT_EQ(run(script.data(), script.size(), table), CSYS_OK);
      EXPECT_EQ(violations, 0) << "seed " << seed;
    }
  }
}

TEST(Vector, AllocationFailuresLeaveNothingBehind) {
  const auto script = randomScript(7, 60);
  for (const cstd_vector_vtable* table : {&kCounted, &kZeroed}) {
    violations = 0;
    EXPECT_GT(
        pmtsys_test::sweepAllocationFailures(
            [&] { return run(script.data(), script.size(), table); }, [] { EXPECT_EQ(live, 0); }),
        3u);
    EXPECT_EQ(violations, 0);
  }
}

TEST(Vector, GrowthIsByPowersOfTwoAndReserveIsExact) {
  cstd_vector_ v;
  ASSERT_EQ(cstd_vector__construct(&v, 0, 4), CSYS_OK);
  EXPECT_EQ(v.begin, nullptr);
  std::vector<int64_t> capacities;
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(cstd_vector__pushBack(&v, &i), CSYS_OK);
    capacities.push_back(v.capacity);
  }
  EXPECT_EQ(capacities, (std::vector<int64_t>{1, 2, 4, 4, 8}));
  EXPECT_EQ(cstd_vector__reserve(&v, 10), CSYS_OK);
  EXPECT_EQ(cstd_vector__reserve(&v, 3), CSYS_OK);
  EXPECT_EQ(v.capacity, 10);
  EXPECT_EQ(cstd_vector__destruct(&v), CSYS_OK);
  EXPECT_EQ(cstd_vector__destruct(&v), CSYS_OK);
  EXPECT_EQ(v.size, -1);
}

// Records the byte count asked for, and refuses it.
int64_t g_asked;
csys_status refuse(intptr_t size, void**) {
  g_asked = size;
  return CSYS_E_OUT_OF_MEMORY;
}
constexpr cstd_vector_mtable kRefusing{refuse, nullptr, csys_memory_free_internal};
constexpr cstd_vector_mtable kNoAlloc{nullptr, nullptr, csys_memory_free_internal};
constexpr cstd_vector_vtable kOther{nullptr, nullptr, nullptr, nullptr, -1};

TEST(Vector, RefusedCallsGiveTheirStatusAndChangeNothing) {
  pmtsys_test::AssertCapture asserts;
  cstd_vector_ v;
  ASSERT_EQ(cstd_vector__constructWithVtable(&v, 3, sizeof(Element), &kZeroed), CSYS_OK);
  const cstd_vector_ before = v;
  auto* e = static_cast<Element*>(v.begin);
  Element* got = nullptr;
  int64_t size64 = 0;
  const struct {
    csys_status status;
    csys_status expected;
  } cases[] = {
      {cstd_vector__resize(&v, -1), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__reserve(&v, -5), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__reserve(&v, INT64_MAX / 4), CSYS_E_NEGATIVE_SIZE},
      {cstd_vector__resizeFill(&v, 5, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e + 4, e, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__insert(&v, e, e, reinterpret_cast<uint8_t*>(e) + 3), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__erase(&v, e + 2, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__erase(&v, e - 1, e + 1), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__assignElements(&v, e, nullptr), CSYS_E_INVALID_ARGUMENT},
      {cstd_vector__getElement(&v, 3, reinterpret_cast<void**>(&got)), CSYS_E_FAIL},
      {cstd_vector__getElement(&v, -1, reinterpret_cast<void**>(&got)), CSYS_E_FAIL},
      {cstd_vector__getBeginEnd(&v, nullptr, nullptr), CSYS_E_FAIL},
      {cstd_vector__getSize(nullptr, &size64), CSYS_E_INVALID_ARGUMENT},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(cases[i].status, cases[i].expected) << i;
  EXPECT_EQ(std::memcmp(&v, &before, sizeof v), 0);
  EXPECT_EQ(got, nullptr);

  // Refused constructions: argument errors leave the record alone, the rest destruct it.
  cstd_vector_ w{};
  EXPECT_EQ(cstd_vector__construct(&w, -1, 4), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(cstd_vector__construct(&w, 1, 0), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(cstd_vector__constructWithVtableWithMtable(&w, 1, 4, nullptr, &kNoAlloc),
            CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(cstd_vector__constructWithVtableUninit(&w, 1, sizeof(Element), &kCounted), CSYS_E_FAIL);
  EXPECT_EQ(w.mtable, nullptr);
  EXPECT_EQ(cstd_vector__construct(&w, INT64_MAX / 2, 4), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(w.size, -1);
  // A product above 32 bits reaches the allocator whole.
  EXPECT_EQ(cstd_vector__constructWithVtableWithMtable(&w, 0x10001, 0x10001, nullptr, &kRefusing),
            CSYS_E_OUT_OF_MEMORY);
  EXPECT_EQ(g_asked, INT64_C(0x100020001));
  EXPECT_EQ(w.size, -1);

  cstd_vector_ other;
  ASSERT_EQ(cstd_vector__constructWithVtable(&other, 0, sizeof(Element), &kOther), CSYS_OK);
  uint32_t equal = 1;
  EXPECT_EQ(cstd_vector__compareEqual(&other, &v, &equal, compareValues), CSYS_OK);
  EXPECT_EQ(equal, 0u);
  EXPECT_EQ(cstd_vector__construct(&w, 1, 2), CSYS_OK);
  EXPECT_EQ(cstd_vector__assign(&w, &v), CSYS_E_FAIL);
  // A size beyond 32 bits, on a record that only claims it.
  const cstd_vector_ huge{INT64_C(1) << 31, INT64_C(1) << 31, 1, e, e, nullptr, v.mtable};
  int32_t size32 = 7;
  void* begin = nullptr;
  EXPECT_EQ(cstd_vector__getSize32(&huge, &size32), CSYS_E_FAIL);
  EXPECT_EQ(cstd_vector__getBeginSize32(const_cast<cstd_vector_*>(&huge), &begin, &size32),
            CSYS_E_FAIL);
  EXPECT_EQ(begin, e);
  EXPECT_EQ(size32, 7);
  EXPECT_EQ(asserts.count(), 12u);
  for (auto* vector : {&v, &w, &other}) EXPECT_EQ(cstd_vector__destruct(vector), CSYS_OK);
}

}  // namespace
