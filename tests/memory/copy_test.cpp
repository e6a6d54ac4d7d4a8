// Block, rectangle and split copies against memcpy, on the streaming path and (with SSE2 taken
// away) the plain one; clones into pointer variables.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "csys_cpuinfo.h"
#include "csys_memory.h"
#include "support/fault_loop.h"
#include "support/report_capture.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr unsigned char kGuard = 0xEE;

Bytes pattern(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return bytes;
}

// The bytes [begin, end) of `out` equal `source` from `from`; every other byte is the guard.
void expectCopied(const Bytes& out, size_t begin, size_t end, const unsigned char* from) {
  for (size_t i = 0; i < out.size(); ++i) {
    ASSERT_EQ(out[i], i >= begin && i < end ? from[i - begin] : kGuard) << "byte " << i;
  }
}

void withoutSse2() {
  csys_cpuinfo info{};
  info.features = CSYS_CPU_FEATURE_SSE2;
  ASSERT_EQ(csys_cpuinfo_force(&info, CSYS_CPUINFO_FORCE_PROCESSOR_CLASS), CSYS_OK);
}

TEST(Copy, EqualsMemcpyForEveryAlignmentAndSize) {
  const size_t sizes[] = {1,  2,   3,   7,   8,   15,  16,  31,  32,  33,   63,   64,   65,   95,
                          96, 127, 128, 129, 200, 255, 256, 257, 511, 1000, 1024, 2047, 4096, 4099};
  const Bytes source = pattern(4099 + 64);
  for (const bool streaming : {true, false}) {
    if (!streaming) withoutSse2();
    for (const size_t size : sizes) {
      for (size_t from = 0; from < 64; from += (size > 512 ? 5 : 1)) {
        for (size_t to = 0; to < 64; ++to) {
          Bytes out(size + 64 + 16, kGuard);
          ASSERT_EQ(csys_memory_copy(static_cast<intptr_t>(size), &source[from], &out[to]),
                    CSYS_OK);
          expectCopied(out, to, to + size, &source[from]);
          if (testing::Test::HasFailure())
            FAIL() << size << " " << from << " " << to << " " << streaming;
        }
      }
    }
  }
  EXPECT_EQ(csys_cpuinfo_reset(), CSYS_OK);
}

TEST(Copy, CallersSplitCopiesHeadWholeBlocksAndTail) {
  const Bytes source = pattern(512);
  const struct {
    int32_t bulk, head, tail;
    size_t copied;
  } kSplits[] = {
      {128, 27, 45, 200},  // the split of 200 bytes to 5 past a 32-byte boundary
      {100, 0, 0, 64},     // the low six bits of bulk are ignored
      {63, 3, 2, 5},       // the tail follows the head when no block is copied
      {0, 70, 70, 140},    // long ends
      {-64, -1, -1, 0},    // negative counts copy nothing
  };
  for (const auto& split : kSplits) {
    Bytes out(300, kGuard);
    cf_asmwrap_fast_simple_copy(source.data(), &out[5], split.bulk, split.head, split.tail);
    expectCopied(out, 5, 5 + split.copied, source.data());
  }
}

TEST(Copy, SizeAndPointerChecks) {
  pmtsys_test::AssertCapture asserts;
  unsigned char byte = 1;
  EXPECT_EQ(csys_memory_copy(0, nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_memory_copy(-1, &byte, &byte), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_copy64(-1, &byte, &byte), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(asserts.count(), 0u);
  EXPECT_EQ(csys_memory_copy(1, nullptr, &byte), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
}

TEST(Copy, Rectangles) {
  const Bytes source = pattern(2048);
  const struct {
    int32_t rowBytes, rows, sourceStride, destinationStride;
    csys_status status;
  } kRects[] = {
      {8, 4, 8, 8, CSYS_OK},
      {50, 5, 60, 100, CSYS_OK},
      {50, 5, 50, 64, CSYS_OK},
      {90, 3, 96, 96, CSYS_OK},
      {0, 3, 4, 4, CSYS_OK},
      {8, 0, 9, 9, CSYS_OK},
      {8, 2, 7, 8, CSYS_E_INVALID_RECT},
      {8, 2, 8, 7, CSYS_E_INVALID_RECT},
      {-1, 2, 4, 4, CSYS_E_INVALID_RECT},
      {4, -2, 8, 8, CSYS_E_INVALID_RECT},
      {-4, -4, -4, -4, CSYS_E_INVALID_RECT},
      {4, -4, 4, 4, CSYS_E_NEGATIVE_SIZE},
  };
  for (const auto& rect : kRects) {
    Bytes out(1024, kGuard);
    EXPECT_EQ(csys_memory_copyRect(rect.rowBytes, rect.rows, rect.sourceStride,
                                   rect.destinationStride, source.data(), &out[5]),
              rect.status);
    for (size_t i = 0; i < out.size(); ++i) {
      const size_t at = i - 5, row = at / static_cast<size_t>(rect.destinationStride);
      const bool inside = i >= 5 && rect.status == CSYS_OK && row < size_t(rect.rows) &&
                          at % static_cast<size_t>(rect.destinationStride) < size_t(rect.rowBytes);
      const size_t from = row * static_cast<size_t>(rect.sourceStride) +
                          at % static_cast<size_t>(rect.destinationStride);
      ASSERT_EQ(out[i], inside ? source[from] : kGuard) << rect.rowBytes << "x" << rect.rows;
    }
  }
}

TEST(Copy, CloneReusesFreesAndFailsCleanly) {
  const Bytes source = pattern(256);
  void* copy = nullptr;
  ASSERT_EQ(csys_memory_clone(256, source.data(), &copy), CSYS_OK);
  EXPECT_EQ(std::memcmp(copy, source.data(), 256), 0);
  void* const block = copy;
  ASSERT_EQ(csys_memory_clone64(100, source.data() + 1, &copy), CSYS_OK);
  EXPECT_EQ(copy, block);
  EXPECT_EQ(std::memcmp(copy, source.data() + 1, 100), 0);
  EXPECT_EQ(csys_memory_clone(-1, source.data(), &copy), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_clone64(-1, source.data(), &copy), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_clone(0, nullptr, &copy), CSYS_OK);
  EXPECT_EQ(copy, nullptr);
  pmtsys_test::sweepAllocationFailures([&] { return csys_memory_clone(64, source.data(), &copy); },
                                       [&] { EXPECT_EQ(copy, nullptr); });
  EXPECT_EQ(csys_memory_clone(0, nullptr, &copy), CSYS_OK);
}

}  // namespace
