// Block, rectangle and split copies against memcpy, streaming and plain; clones.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "csys_cpuinfo.h"
#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr unsigned char kGuard = 0xEE;

const Bytes kSource = [] {
  Bytes bytes(4159 + 64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7 + i / 251);
  return bytes;
}();

TEST(Copy, EqualsMemcpyForEveryAlignmentAndSize) {
  csys_cpuinfo noSse2{};
  noSse2.features = CSYS_CPU_FEATURE_SSE2;
  for (const uint32_t removeSse2 : {0u, CSYS_CPUINFO_FORCE_PROCESSOR_CLASS}) {
    ASSERT_EQ(csys_cpuinfo_force(&noSse2, removeSse2), CSYS_OK);
    for (size_t size = 1; size <= 4159; size = size < 129 ? size + 1 : size * 2 + 1) {
      for (size_t from = 0; from < 64; from += (size > 512 ? 5 : 1)) {
        for (size_t to = 0; to < 64; ++to) {
          Bytes out(size + 80, kGuard), expected(size + 80, kGuard);
          std::memcpy(&expected[to], &kSource[from], size);
          ASSERT_EQ(csys_memory_copy(static_cast<intptr_t>(size), &kSource[from], &out[to]), 0);
          ASSERT_EQ(out, expected) << size << " " << from << " " << to << " " << removeSse2;
        }
      }
    }
  }
  EXPECT_EQ(csys_cpuinfo_reset(), CSYS_OK);
}

TEST(Copy, CallersSplitCopiesHeadWholeBlocksAndTail) {
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

TEST(Copy, Rectangles) {
  constexpr csys_status kBad = CSYS_E_INVALID_RECT;
  // clang-format off
  const struct { int32_t rowBytes, rows, sourceStride, destinationStride; csys_status status; }
      kRects[] = {{8, 4, 8, 8, 0}, {50, 5, 60, 100, 0}, {50, 5, 50, 64, 0}, {90, 3, 96, 96, 0},
          {200, 3, 210, 256, 0}, {0, 3, 4, 4, 0}, {8, 0, 9, 9, 0}, {8, 2, 7, 8, kBad},
          {8, 2, 8, 7, kBad}, {-1, 2, 4, 4, kBad}, {4, -2, 8, 8, kBad}, {-4, -4, -4, -4, kBad},
          {4, -4, 4, 4, CSYS_E_NEGATIVE_SIZE}};
  // clang-format on
  for (const auto& rect : kRects) {
    Bytes out(1024, kGuard), expected(1024, kGuard);
    EXPECT_EQ(csys_memory_copyRect(rect.rowBytes, rect.rows, rect.sourceStride,
                                   rect.destinationStride, kSource.data(), &out[5]),
              rect.status);
    for (int32_t row = 0; rect.status == 0 && row < rect.rows; ++row) {
      std::memcpy(&expected[5 + size_t(row * rect.destinationStride)],
                  &kSource[size_t(row * rect.sourceStride)], size_t(rect.rowBytes));
    }
    EXPECT_EQ(out, expected) << rect.rowBytes << "x" << rect.rows;
  }
}

TEST(Copy, ChecksAndClones) {
  pmtsys_test::AssertCapture asserts;
  void* copy = nullptr;
  EXPECT_EQ(csys_memory_copy(0, nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_memory_copy64(-1, &copy, &copy), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_clone64(-1, kSource.data(), &copy), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(asserts.count(), 0u);
  EXPECT_EQ(csys_memory_copy(1, nullptr, &copy), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
  ASSERT_EQ(csys_memory_clone(256, kSource.data(), &copy), CSYS_OK);
  ASSERT_EQ(csys_memory_clone64(100, kSource.data() + 1, &copy), CSYS_OK);  // resized, not leaked
  EXPECT_EQ(std::memcmp(copy, kSource.data() + 1, 100), 0);
  EXPECT_EQ(csys_memory_clone(0, nullptr, &copy), CSYS_OK);
  EXPECT_EQ(copy, nullptr);
}

}  // namespace
