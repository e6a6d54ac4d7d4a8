// Base64: one table of texts (the RFC 4648 vectors, blanks in every place, every malformed form)
// through both decoders at exact and one-byte-short room, the RFC vectors through both encoders,
// every byte value in a group, refused sizes and nulls, and allocation failures of the copy.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>

#include "fuzz/base64_check.h"
#include "support/fault_loop.h"

namespace {

// Text and what it decodes to (null: malformed); the first seven are RFC 4648's vectors.
// clang-format off
constexpr const char* kTexts[][2] = {
    {"", ""}, {"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"},
    {"Zm9vYmE=", "fooba"}, {"Zm9vYmFy", "foobar"}, {"Zm9v\r\nYmFy", "foobar"},
    {" \tZm9vYmFy\n", "foobar"}, {"Z m\t9\nv\rY mFy", "foobar"}, {"Zm9vYg=\r\n=", "foob"},
    {" \r\n\t", ""}, {"Zg=", nullptr}, {"Zg", nullptr}, {"Zm9", nullptr}, {"Z===", nullptr},
    {"====", nullptr}, {"Zg==Zm9v", nullptr}, {"Zm=v", nullptr}, {"Zm-v", nullptr},
    {"Zm_v", nullptr}, {"Zm9v\vYmFy", nullptr}, {"Zm9v\fYmFy", nullptr}, {"Zm9vY mF", nullptr}};
// clang-format on

TEST(Base64, DecodesAndEncodesEveryForm) {
  for (size_t i = 0; i < std::size(kTexts); ++i) {
    const auto [text, expected] = kTexts[i];
    const std::string want = expected != nullptr ? expected : "";
    const auto size = static_cast<uint32_t>(want.size());
    std::string got;
    csys_status status = CSYS_OK;
    EXPECT_TRUE(base64_check::decodeAgrees(text, size > 0 ? size - 1 : 0, &status, &got)) << text;
    EXPECT_EQ(status, expected != nullptr ? CSYS_OK : CSYS_E_INVALID_ARGUMENT) << text;
    EXPECT_EQ(got, want) << text;
    // The RFC vectors encode back, and need room for their text and its NUL.
    const auto room = static_cast<uint32_t>(std::strlen(text));
    const auto* data = reinterpret_cast<const uint8_t*>(want.data());
    EXPECT_TRUE(i >= 7 || (base64_check::encodeAgrees(data, size, room, &got) && got == text));
  }
  for (int c = 0; c < 256; ++c) {
    const bool inAlphabet = std::isalnum(c) != 0 || c == '+' || c == '/';
    uint32_t length = 3;
    uint8_t dest[3];
    const std::string text{'Z', 'm', static_cast<char>(c), 'v'};
    EXPECT_EQ(csec_base64_decodeToDest(text.c_str(), &length, dest),
              inAlphabet ? CSYS_OK : CSYS_E_INVALID_ARGUMENT)
        << c;
  }
}

TEST(Base64, RefusesNullsAndSizesBeyond32Bits) {
  const uint8_t byte = 0;
  char* text = nullptr;
  char dest[4];
  uint32_t length = 0;
  uint8_t* out = nullptr;
  EXPECT_EQ(csec_base64_encode(1, nullptr, &text) | csec_base64_encode(1, &byte, nullptr) |
                csec_base64_encodeToDest(1, &byte, 8, nullptr) |
                csec_base64_decode(nullptr, &length, &out) | csec_base64_decode("", nullptr, &out) |
                csec_base64_decodeToDest("", &length, nullptr),
            CSYS_E_BASE64_NULL);
  // 3221225470 is the smallest length whose text and NUL pass 2^32 - 1; nothing is read.
  EXPECT_EQ(csec_base64_encode(3221225470u, &byte, &text), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(csec_base64_encodeToDest(UINT32_MAX, &byte, UINT32_MAX, dest), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(text, nullptr);
  // Text with blanks decodes from a copy: allocations that blank-free text never makes.
  pmtsys_test::sweepAllocationFailures(
      [&] { return csec_base64_decode("Zm9v\nYmFy", &length, &out); },
      [&] { EXPECT_EQ(out, nullptr); });
  csys_memory_free(&out);
}

}  // namespace
