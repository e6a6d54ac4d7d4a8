// Fills of blocks, rectangles and patterns, with their argument checks.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

TEST(Fill, BlockAndSizeChecks) {
  std::array<unsigned char, 16> buffer{};
  EXPECT_EQ(csys_memory_fill(0xAB, 16, buffer.data()), CSYS_OK);
  for (unsigned char byte : buffer) EXPECT_EQ(byte, 0xAB);
  EXPECT_EQ(csys_memory_fill64(0, -1, buffer.data()), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csys_memory_fill(0, -1, buffer.data()), CSYS_E_NEGATIVE_SIZE);
  {
    pmtsys_test::AssertCapture asserts;
    EXPECT_EQ(csys_memory_fill(0, 0, nullptr), CSYS_OK);  // nothing to do, no report
    EXPECT_EQ(asserts.count(), 0u);
    EXPECT_TRUE(CSYS_FAILED(csys_memory_fill(0, 4, nullptr)));
    EXPECT_EQ(asserts.count(), 1u);
  }
  EXPECT_EQ(buffer[0], 0xAB);
}

TEST(Fill, EveryShortLengthAtEveryAlignmentStaysInItsBlock) {
  // Short blocks are filled in place with overlapping stores: each length must write exactly
  // its own bytes, whatever the alignment, up to past the size where memset takes over.
  std::array<unsigned char, 192> buffer{};
  for (intptr_t size = 0; size <= 140; ++size) {
    for (size_t offset = 0; offset < 16; ++offset) {
      buffer.fill(0x11);
      ASSERT_EQ(csys_memory_fill(0xC3, size, buffer.data() + 16 + offset), CSYS_OK);
      for (size_t i = 0; i < buffer.size(); ++i) {
        const bool inside = i >= 16 + offset && i < 16 + offset + static_cast<size_t>(size);
        ASSERT_EQ(buffer[i], inside ? 0xC3 : 0x11) << size << " at " << offset << ", byte " << i;
      }
    }
  }
}

TEST(Fill, RectangleWithGapsLeavesTheGapsAlone) {
  std::vector<unsigned char> image(4 * 6, 0x11);
  ASSERT_EQ(csys_memory_fillRect(0x77, 4, 3, 6, image.data()), CSYS_OK);
  for (size_t i = 0; i < image.size(); ++i) {
    const bool inRow = i / 6 < 3 && i % 6 < 4;
    EXPECT_EQ(image[i], inRow ? 0x77 : 0x11) << i;
  }
}

TEST(Fill, RectangleGeometry) {
  std::vector<unsigned char> image(64, 0);
  EXPECT_EQ(csys_memory_fillRect(1, 8, 2, 4, image.data()), CSYS_E_INVALID_RECT);
  EXPECT_EQ(csys_memory_fillRect(1, -1, 2, 4, image.data()), CSYS_E_INVALID_RECT);
  EXPECT_EQ(csys_memory_fillRect(1, 4, -2, 8, image.data()), CSYS_E_INVALID_RECT);
  // Contiguous rows: one fill of the whole area, so the product's sign decides.
  EXPECT_EQ(csys_memory_fillRect(1, -4, -4, -4, image.data()), CSYS_E_INVALID_RECT);
  EXPECT_EQ(csys_memory_fillRect(1, 4, -4, 4, image.data()), CSYS_E_NEGATIVE_SIZE);
  for (unsigned char byte : image) ASSERT_EQ(byte, 0);
  EXPECT_EQ(csys_memory_fillRect(9, 8, 8, 8, image.data()), CSYS_OK);
  for (unsigned char byte : image) ASSERT_EQ(byte, 9);
}

TEST(Fill, Patterns) {
  std::array<unsigned char, 12> out{};
  const unsigned char sevens[4] = {7, 7, 7, 7};
  ASSERT_EQ(csys_memory_fillBlock(sevens, 4, 3, out.data()), CSYS_OK);
  for (unsigned char byte : out) EXPECT_EQ(byte, 7);

  out.fill(0);
  const unsigned char counting[3] = {1, 2, 3};
  ASSERT_EQ(csys_memory_fillBlock(counting, 3, 2, out.data()), CSYS_OK);
  const std::array<unsigned char, 8> expected{1, 2, 3, 1, 2, 3, 0, 0};
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin()));

  // Nine equal bytes are beyond the memset shortcut but must give the same result.
  std::array<unsigned char, 27> wide{};
  const unsigned char nines[9] = {9, 9, 9, 9, 9, 9, 9, 9, 9};
  ASSERT_EQ(csys_memory_fillBlock64(nines, 9, 3, wide.data()), CSYS_OK);
  for (unsigned char byte : wide) EXPECT_EQ(byte, 9);

  EXPECT_EQ(csys_memory_fillBlock64(counting, 0, 2, out.data()), CSYS_E_INVALID_BLOCK);
  EXPECT_EQ(csys_memory_fillBlock(counting, 3, -1, out.data()), CSYS_E_INVALID_BLOCK);
  EXPECT_EQ(csys_memory_fillBlock(counting, 3, 0, out.data()), CSYS_OK);
  EXPECT_EQ(csys_memory_fillBlock(counting, 1 << 20, INT64_MAX / 2, out.data()),
            CSYS_E_INVALID_BLOCK);
}

}  // namespace
