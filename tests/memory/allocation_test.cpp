// Allocation through pointer variables: size boundaries, request counting and the simulated
// out-of-memory threshold, the failure paths that must leave the caller's variable intact.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

class Allocation : public ::testing::Test {
 protected:
  void SetUp() override {
    csys_memory_allocCountSetOutOfMemory(0);
    csys_memory_allocCountReset();
  }
  void TearDown() override { csys_memory_allocCountSetOutOfMemory(0); }

  static uint32_t count() {
    uint32_t value = 0;
    csys_memory_allocCountGet(&value);
    return value;
  }
};

TEST_F(Allocation, SizeBoundaries) {
  void* block = nullptr;
  EXPECT_EQ(csys_memory_alloc_internal(-1, &block), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(count(), 0u);

  ASSERT_EQ(csys_memory_alloc_internal(16, &block), CSYS_OK);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(count(), 1u);
  // Zero bytes into a variable that holds a block frees it, uncounted.
  EXPECT_EQ(csys_memory_alloc_internal(0, &block), CSYS_OK);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(count(), 1u);

  // The heap cannot give the largest sizes; the variable keeps its old block.
  ASSERT_EQ(csys_memory_alloc_internal(8, &block), CSYS_OK);
  void* const old = block;
  EXPECT_EQ(csys_memory_alloc_internal(INTPTR_MAX, &block), CSYS_E_OUT_OF_MEMORY);
  EXPECT_EQ(block, old);
  EXPECT_EQ(csys_memory_free_internal(&block), CSYS_OK);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(csys_memory_free_internal(&block), CSYS_OK);  // freeing null is fine
}

TEST_F(Allocation, SixtyFourBitVariantsCheckBeforeDelegating) {
  void* block = nullptr;
  EXPECT_EQ(csys_memory_alloc64_internal(-5, &block), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_realloc64_internal(-5, &block), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_allocClear64_internal(INT64_MAX, &block), CSYS_E_OUT_OF_MEMORY);
  EXPECT_EQ(block, nullptr);
  ASSERT_EQ(csys_memory_allocClear64_internal(100, &block), CSYS_OK);
  const auto* bytes = static_cast<unsigned char*>(block);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0) << i;
  ASSERT_EQ(csys_memory_realloc64_internal(200, &block), CSYS_OK);
  EXPECT_EQ(csys_memory_allocFastMem64_internal(0, &block), CSYS_OK);
  EXPECT_NE(block, nullptr);  // fast memory of size 0 leaves the variable alone
  EXPECT_EQ(csys_memory_allocCacheAligned64_internal(0, &block), CSYS_OK);
  EXPECT_EQ(block, nullptr);

  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_memory_alloc64UsingFunc(8, &block, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
}

TEST_F(Allocation, FailedReallocationKeepsTheOldBlockIntact) {
  void* block = nullptr;
  ASSERT_EQ(csys_memory_alloc_internal(32, &block), CSYS_OK);
  std::memset(block, 0x5A, 32);
  csys_memory_allocCountSetOutOfMemory(2);
  EXPECT_EQ(csys_memory_realloc_internal(64, &block), CSYS_E_OUT_OF_MEMORY);
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(static_cast<unsigned char*>(block)[i], 0x5A);
  csys_memory_allocCountSetOutOfMemory(0);
  EXPECT_EQ(csys_memory_realloc_internal(INTPTR_MAX, &block), CSYS_E_OUT_OF_MEMORY);
  ASSERT_EQ(csys_memory_realloc_internal(4096, &block), CSYS_OK);
  for (int i = 0; i < 32; ++i) ASSERT_EQ(static_cast<unsigned char*>(block)[i], 0x5A);
  EXPECT_EQ(csys_memory_realloc_internal(0, &block), CSYS_OK);
  EXPECT_EQ(block, nullptr);
}

TEST_F(Allocation, AlignedBlocksForEveryAlignment) {
  for (int32_t alignment = 1; alignment <= 255; ++alignment) {
    void* block = nullptr;
    ASSERT_EQ(csys_memory_allocAlignedToMalloc_internal(24, &block, alignment), CSYS_OK);
    const auto address = reinterpret_cast<uintptr_t>(block);
    ASSERT_EQ(address % static_cast<uintptr_t>(alignment), 0u) << alignment;
    const unsigned offset = static_cast<unsigned char*>(block)[-1];
    ASSERT_GE(offset, 1u);
    ASSERT_LE(offset, static_cast<unsigned>(alignment));
    std::memset(block, 0xEE, 24);  // the whole size is usable (ASan checks the bounds)
    ASSERT_EQ(csys_memory_freeAlignedToMalloc(&block), CSYS_OK);
    ASSERT_EQ(block, nullptr);
  }
  void* block = nullptr;
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(8, &block, 0), CSYS_E_INVALID_ALIGNMENT);
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(8, &block, 256), CSYS_E_INVALID_ALIGNMENT);
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(-8, &block, 16), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_freeAlignedToMalloc(&block), CSYS_OK);
  EXPECT_EQ(csys_memory_freeAlignedToMalloc(nullptr), CSYS_OK);
}

TEST_F(Allocation, CounterWrapsAndModifyReportsTheThreshold) {
  EXPECT_EQ(csys_memory_allocCountModify(-1), CSYS_OK);
  EXPECT_EQ(count(), 0xFFFFFFFFu);
  csys_memory_allocCountSetOutOfMemory(0xFFFFFFFFu);
  EXPECT_EQ(csys_memory_allocCountModify(0), CSYS_E_OUT_OF_MEMORY);
  EXPECT_EQ(csys_memory_allocCountModify(1), CSYS_OK);  // wrapped to 0, below the threshold
}

}  // namespace
