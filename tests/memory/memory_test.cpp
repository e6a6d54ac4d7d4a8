// Memory: one pointer variable through every allocation boundary, aligned blocks, copies and
// fills against memcpy and memset at every alignment, rectangles, patterns and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "csys_cpuinfo.h"
#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char kGuard = 0xEE;

// What a call leaves in the variable: nothing, the same block with its bytes, a block (maybe
// moved) with the old first bytes, a new block, a new block of 100 zero bytes, a clone's bytes.
enum Held { kNull, kSame, kKept, kNew, kZero, kCloned };
const std::string kBytes[] = {"", "ZZZZZZZZ", "ZZZZZZZZ", "", std::string(100, '\0'), "cloned 8"};
#define ALLOC(call, ...) []([[maybe_unused]] void** b) { return csys_memory_##call(__VA_ARGS__); }

TEST(Allocation, OneVariableThroughEveryBoundary) {
  pmtsys_test::AssertCapture asserts;
  csys_memory_allocCountReset();
  // clang-format off
  const struct { csys_status (*call)(void**); csys_status status; Held held; int64_t requests;
                 uint32_t failAt = 0; } steps[] = {
      // The count wraps; a threshold is met by the count a modification reaches.
      {ALLOC(allocCountModify, -1), CSYS_OK, kNull, 0xFFFFFFFF},
      {ALLOC(allocCountModify, 0), CSYS_E_OUT_OF_MEMORY, kNull, 0xFFFFFFFF, 0xFFFFFFFF},
      {ALLOC(allocCountModify, 1), CSYS_OK, kNull, 0, 0xFFFFFFFF},
      {ALLOC(alloc_internal, -1, b), CSYS_E_NEGATIVE_SIZE, kNull, 0},
      {ALLOC(alloc_internal, 16, b), CSYS_OK, kNew, 1},
      {ALLOC(alloc_internal, 0, b), CSYS_OK, kNull, 1},  // frees, uncounted
      {ALLOC(alloc_internal, 32, b), CSYS_OK, kNew, 2},
      {ALLOC(realloc_internal, 64, b), CSYS_E_OUT_OF_MEMORY, kSame, -1, 3},
      {ALLOC(realloc_internal, INTPTR_MAX, b), CSYS_E_OUT_OF_MEMORY, kSame, -1},
      {ALLOC(alloc_internal, INTPTR_MAX, b), CSYS_E_OUT_OF_MEMORY, kSame, -1},
      {ALLOC(realloc_internal, 4096, b), CSYS_OK, kKept, -1},
      {ALLOC(alloc64_internal, -5, b), CSYS_E_NEGATIVE_SIZE, kSame, -1},
      {ALLOC(realloc64_internal, -5, b), CSYS_E_NEGATIVE_SIZE, kSame, -1},
      {ALLOC(allocClear64_internal, INT64_MAX, b), CSYS_E_OUT_OF_MEMORY, kSame, -1},
      {ALLOC(allocFastMem64_internal, 0, b), CSYS_OK, kSame, -1},  // size 0: left alone
      {ALLOC(allocClear64_internal, 100, b), CSYS_OK, kZero, -1},
      {ALLOC(realloc64_internal, 200, b), CSYS_OK, kKept, -1},
      {ALLOC(clone64_internal, 8, "cloned 8", b), CSYS_OK, kCloned, -1},  // into the held block
      {ALLOC(allocCacheAligned64_internal, 0, b), CSYS_OK, kNull, -1},
      {ALLOC(alloc64UsingFunc, 8, b, nullptr), CSYS_E_INVALID_ARGUMENT, kNull, -1},
      {ALLOC(alloc_internal, 8, b), CSYS_OK, kNew, -1},
      {ALLOC(clone_internal, 0, nullptr, b), CSYS_OK, kNull, -1},
      {ALLOC(alloc_internal, 8, b), CSYS_OK, kNew, -1},
      {ALLOC(realloc_internal, 0, b), CSYS_OK, kNull, -1},
      {ALLOC(free_internal, b), CSYS_OK, kNull, -1}};
  // clang-format on
  void* block = nullptr;
  for (size_t i = 0; i < std::size(steps); ++i) {
    const auto& step = steps[i];
    void* const old = block;
    csys_memory_allocCountSetOutOfMemory(step.failAt);
    EXPECT_EQ(step.call(&block), step.status) << i;
    csys_memory_allocCountSetOutOfMemory(0);
    uint32_t requests = 0;
    csys_memory_allocCountGet(&requests);
    EXPECT_EQ(step.requests < 0 ? -1 : int64_t{requests}, step.requests) << i;
    EXPECT_EQ(block == nullptr, step.held == kNull) << i;
    EXPECT_TRUE(step.held != kSame || block == old) << i;
    const std::string& want = kBytes[step.held];
    EXPECT_EQ(block ? std::string(static_cast<char*>(block), want.size()) : "", want) << i;
    if (step.held >= kKept) std::memset(block, 'Z', 8);
  }
  EXPECT_EQ(asserts.count(), 1u);  // the missing function
}

TEST(Allocation, AlignedBlocksForEveryAlignment) {
  void* block = nullptr;
  for (int32_t alignment = 1; alignment <= 255; ++alignment) {
    ASSERT_EQ(csys_memory_allocAlignedToMalloc_internal(24, &block, alignment), CSYS_OK);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(block) % static_cast<uintptr_t>(alignment), 0u);
    const unsigned offset = static_cast<unsigned char*>(block)[-1];
    ASSERT_TRUE(offset >= 1 && offset <= static_cast<unsigned>(alignment)) << alignment;
    std::memset(block, kGuard, 24);  // the whole size is usable (ASan checks the bounds)
    ASSERT_EQ(csys_memory_freeAlignedToMalloc(&block), CSYS_OK);
    ASSERT_EQ(block, nullptr);
  }
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(8, &block, 0), CSYS_E_INVALID_ALIGNMENT);
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(8, &block, 256), CSYS_E_INVALID_ALIGNMENT);
  EXPECT_EQ(csys_memory_allocAlignedToMalloc_internal(-8, &block, 16), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_freeAlignedToMalloc(&block) | csys_memory_freeAlignedToMalloc(nullptr), 0);
}

const Bytes kSource = [] {
  Bytes bytes(4159 + 64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return bytes;
}();

// Short copies and fills run in place with overlapping stores: each size must write exactly its
// own bytes at every alignment, with and without SSE2, past the size where memset takes over.
TEST(CopyAndFill, EqualMemcpyAndMemsetForEveryAlignmentAndSize) {
  csys_cpuinfo noSse2{};
  noSse2.features = CSYS_CPU_FEATURE_SSE2;
  for (const uint32_t removeSse2 : {0u, CSYS_CPUINFO_FORCE_PROCESSOR_CLASS}) {
    ASSERT_EQ(csys_cpuinfo_force(&noSse2, removeSse2), CSYS_OK);
    for (size_t size = 0; size <= 4159; size = size < 129 ? size + 1 : size * 2 + 1) {
      for (size_t from = 0; from < 64; from += (size > 512 ? 5 : 1)) {
        for (size_t to = 0; to < 64; ++to) {
          Bytes out(size + 80, kGuard), expected(size + 80, kGuard);
          std::memcpy(&expected[to], &kSource[from], size);
          ASSERT_EQ(csys_memory_copy(static_cast<intptr_t>(size), &kSource[from], &out[to]), 0);
          ASSERT_EQ(out, expected) << size << " " << from << " " << to << " " << removeSse2;
          if (from != 0) continue;
          std::memset(&expected[to], 0xC3, size);
          ASSERT_EQ(csys_memory_fill(0xC3, static_cast<intptr_t>(size), &out[to]), 0);
          ASSERT_EQ(out, expected) << "fill " << size << " at " << to << " " << removeSse2;
        }
      }
    }
  }
  EXPECT_EQ(csys_cpuinfo_reset(), CSYS_OK);
}

TEST(CopyAndFill, CallersSplitCopiesHeadWholeBlocksAndTail) {
  // clang-format off
  const struct { int32_t bulk, head, tail; size_t copied; } kSplits[] = {
      {128, 27, 45, 200},  // the split of 200 bytes to 5 past a 32-byte boundary
      {100, 0, 0, 64},     // the low six bits of bulk are ignored
      {63, 3, 2, 5},       // the tail follows the head when no block is copied
      {0, 70, 70, 140}, {-64, -1, -1, 0}};  // long ends; negative counts copy nothing
  // clang-format on
  for (const auto& split : kSplits) {
    Bytes out(300, kGuard), expected(300, kGuard);
    std::memcpy(&expected[5], kSource.data(), split.copied);
    cf_asmwrap_fast_simple_copy(kSource.data(), &out[5], split.bulk, split.head, split.tail);
    EXPECT_EQ(out, expected) << split.copied;
  }
}

// The fill uses the destination's stride. Rows of equal width and stride are one block, so the
// sign of their product decides.
TEST(CopyAndFill, Rectangles) {
  constexpr csys_status kBad = CSYS_E_INVALID_RECT, kNeg = CSYS_E_NEGATIVE_SIZE;
  // clang-format off
  const struct { int32_t rowBytes, rows, sourceStride, stride; csys_status copied, filled; }
      kRects[] = {{8, 4, 8, 8, 0, 0}, {50, 5, 60, 100, 0, 0}, {50, 5, 50, 64, 0, 0},
          {90, 3, 96, 96, 0, 0}, {200, 3, 210, 256, 0, 0}, {0, 3, 4, 4, 0, 0}, {8, 0, 9, 9, 0, 0},
          {4, 3, 4, 6, 0, 0}, {8, 2, 7, 8, kBad, 0}, {8, 2, 8, 7, kBad, kBad},
          {-1, 2, 4, 4, kBad, kBad}, {4, -2, 8, 8, kBad, kBad}, {-4, -4, -4, -4, kBad, kBad},
          {4, -4, 4, 4, kNeg, kNeg}};
  // clang-format on
  for (const auto& rect : kRects) {
    Bytes copied(1024, kGuard), filled(1024, kGuard), expectCopied(copied), expectFilled(filled);
    EXPECT_EQ(csys_memory_copyRect(rect.rowBytes, rect.rows, rect.sourceStride, rect.stride,
                                   kSource.data(), &copied[5]),
              rect.copied);
    EXPECT_EQ(csys_memory_fillRect(0x77, rect.rowBytes, rect.rows, rect.stride, &filled[5]),
              rect.filled);
    for (int32_t row = 0; row < rect.rows; ++row) {
      const size_t at = 5 + size_t(row * rect.stride), width = size_t(rect.rowBytes);
      if (rect.copied == 0)
        std::memcpy(&expectCopied[at], &kSource[size_t(row * rect.sourceStride)], width);
      if (rect.filled == 0) std::memset(&expectFilled[at], 0x77, width);
    }
    EXPECT_EQ(copied, expectCopied) << rect.rowBytes << "x" << rect.rows;
    EXPECT_EQ(filled, expectFilled) << rect.rowBytes << "x" << rect.rows;
  }
}

TEST(CopyAndFill, PatternsAndRefusals) {
  // Uniform patterns of up to eight bytes become one memset; nine equal bytes do not.
  for (const std::string pattern : {"\7\7\7\7", "\1\2\3", "\11\11\11\11\11\11\11\11\11"}) {
    std::string out(40, '\0');
    ASSERT_EQ(csys_memory_fillBlock64(pattern.data(), int64_t(pattern.size()), 3, out.data()), 0);
    EXPECT_EQ(out, (pattern + pattern + pattern).append(40 - 3 * pattern.size(), '\0'));
  }
  pmtsys_test::AssertCapture asserts;
  unsigned char buffer[16] = {};
  void* copy = nullptr;
  const csys_status ok = CSYS_OK, neg = CSYS_E_NEGATIVE_SIZE, block = CSYS_E_INVALID_BLOCK;
  // A null pointer with nothing to do is no error; the last two are reported.
  // clang-format off
  const struct { csys_status got, want; size_t reports; } rows[] = {
      {csys_memory_copy(0, nullptr, nullptr), ok, asserts.count()},
      {csys_memory_copy64(-1, &copy, &copy), neg, asserts.count()},
      {csys_memory_clone64(-1, kSource.data(), &copy), neg, asserts.count()},
      {csys_memory_fill(0, -1, buffer), neg, asserts.count()},
      {csys_memory_fill64(0, -1, buffer), neg, asserts.count()},
      {csys_memory_fill(0, 0, nullptr), ok, asserts.count()},
      {csys_memory_fillBlock64(buffer, 0, 2, buffer), block, asserts.count()},
      {csys_memory_fillBlock(buffer, 3, -1, buffer), block, asserts.count()},
      {csys_memory_fillBlock(buffer, 3, 0, buffer), ok, asserts.count()},
      {csys_memory_fillBlock(buffer, 1 << 20, INT64_MAX / 2, buffer), block, asserts.count()},
      {csys_memory_copy(1, nullptr, &copy), CSYS_E_INVALID_ARGUMENT, asserts.count()},
      {csys_memory_fill(0, 4, nullptr), CSYS_E_INVALID_ARGUMENT, asserts.count()}};
  // clang-format on
  for (size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(rows[i].got, rows[i].want) << i;
    EXPECT_EQ(rows[i].reports, i < 10 ? 0u : i - 9) << i;
  }
}

}  // namespace
