// Base64: one table of texts (the RFC 4648 vectors, blanks in every place, every malformed form)
// decoded through both flavours at exact and one-byte-short capacities; the encoding of every
// vector at both capacities; every byte value in a group; refused sizes and null arguments; and
// allocation-failure sweeps of both allocating operations.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "csec_base64.h"
#include "support/fault_loop.h"

namespace {

constexpr const char* kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr const char* kVectors[][2] = {{"", ""},
                                       {"f", "Zg=="},
                                       {"fo", "Zm8="},
                                       {"foo", "Zm9v"},
                                       {"foob", "Zm9vYg=="},
                                       {"fooba", "Zm9vYmE="},
                                       {"foobar", "Zm9vYmFy"}};
// Texts and what they decode to; null: malformed.
constexpr const char* kTexts[][2] = {{"Zm9v\r\nYmFy", "foobar"},
                                     {"Zm9v YmFy", "foobar"},
                                     {" \tZm9vYmFy\n", "foobar"},
                                     {"Z m\t9\nv\rY mFy", "foobar"},
                                     {"Zm9vYg=\r\n=", "foob"},
                                     {" \r\n\t", ""},
                                     {"Zg=", nullptr},
                                     {"Zg", nullptr},
                                     {"Zm9", nullptr},
                                     {"Z===", nullptr},
                                     {"====", nullptr},
                                     {"Zg==Zm9v", nullptr},
                                     {"Zm=v", nullptr},
                                     {"Zm-v", nullptr},
                                     {"Zm_v", nullptr},
                                     {"Zm9v\vYmFy", nullptr},
                                     {"Zm9v\fYmFy", nullptr},
                                     {"Z", nullptr},
                                     {"Zm9vY mF", nullptr}};

// Decodes through both flavours and checks they agree; capacities at and one below the size.
void expectDecodes(const std::string& text, const char* expected) {
  SCOPED_TRACE("text \"" + text + "\"");
  const csys_status status = expected ? CSYS_OK : CSYS_E_INVALID_ARGUMENT;
  uint32_t length = 99;
  uint8_t* out = nullptr;
  ASSERT_EQ(csec_base64_decode(text.c_str(), &length, &out), status);
  const std::string want = expected ? expected : "";
  if (expected) {
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), want);
  }
  EXPECT_EQ(out == nullptr, want.empty());
  csys_memory_free(&out);
  // Malformed text is refused whatever the room; the room is checked before the characters.
  uint8_t dest[64];
  const auto size = static_cast<uint32_t>(expected ? want.size() : sizeof dest);
  for (uint32_t capacity : {size, expected ? size - 1 : UINT32_MAX}) {
    if (capacity > sizeof dest) continue;
    std::memset(dest, 0xEE, sizeof dest);
    length = capacity;
    EXPECT_EQ(csec_base64_decodeToDest(text.c_str(), &length, dest),
              capacity == size ? status : CSYS_E_NEGATIVE_SIZE);
    EXPECT_EQ(length, capacity == size && expected ? want.size() : capacity);
    for (size_t i = capacity; i < sizeof dest; ++i) ASSERT_EQ(dest[i], 0xEE) << i;
  }
}

TEST(Base64, EncodesAndDecodesEveryForm) {
  for (const auto& [bytes, text] : kVectors) {
    const auto n = static_cast<uint32_t>(std::strlen(bytes));
    const auto* data = reinterpret_cast<const uint8_t*>(bytes);
    char* out = nullptr;
    ASSERT_EQ(csec_base64_encode(n, data, &out), CSYS_OK);
    EXPECT_STREQ(out != nullptr ? out : "", text);
    EXPECT_EQ(out == nullptr, n == 0);
    csys_memory_free(&out);
    char dest[16];
    const auto size = static_cast<uint32_t>(std::strlen(text) + 1);
    std::memset(dest, 'x', sizeof dest);
    EXPECT_EQ(csec_base64_encodeToDest(n, data, size - 1, dest), CSYS_E_NEGATIVE_SIZE);
    EXPECT_EQ(dest[0], 'x');
    EXPECT_EQ(csec_base64_encodeToDest(n, data, size, dest), CSYS_OK);
    EXPECT_STREQ(dest, text);
    EXPECT_EQ(dest[size], 'x');
    expectDecodes(text, bytes);
  }
  for (const auto& [text, bytes] : kTexts) expectDecodes(text, bytes);
  for (int c = 0; c < 256; ++c) {
    const bool inAlphabet = c != 0 && std::strchr(kAlphabet, c) != nullptr;
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
  uint32_t length = 0;
  uint8_t* out = nullptr;
  EXPECT_EQ(csec_base64_encode(1, nullptr, &text), CSYS_E_BASE64_NULL);
  EXPECT_EQ(csec_base64_encode(1, &byte, nullptr), CSYS_E_BASE64_NULL);
  EXPECT_EQ(csec_base64_encodeToDest(1, &byte, 8, nullptr), CSYS_E_BASE64_NULL);
  EXPECT_EQ(csec_base64_decode(nullptr, &length, &out), CSYS_E_BASE64_NULL);
  EXPECT_EQ(csec_base64_decode("", nullptr, &out), CSYS_E_BASE64_NULL);
  EXPECT_EQ(csec_base64_decodeToDest("", &length, nullptr), CSYS_E_BASE64_NULL);
  // The smallest length whose text and NUL need more than 2^32 - 1 bytes; nothing is read.
  EXPECT_EQ(csec_base64_encode(3221225470u, &byte, &text), CSYS_E_NEGATIVE_SIZE);
  char dest[4];
  EXPECT_EQ(csec_base64_encodeToDest(UINT32_MAX, &byte, UINT32_MAX, dest), CSYS_E_NEGATIVE_SIZE);
  EXPECT_EQ(text, nullptr);
}

TEST(Base64, AllocationFailuresHandNothingOver) {
  const std::string bytes(1000, 'q');
  for (const char* text : {"Zm9vYmFy", "Zm9v\nYmFy"}) {
    uint8_t* out = nullptr;
    uint32_t length = 0;
    EXPECT_GE(pmtsys_test::sweepAllocationFailures(
                  [&] { return csec_base64_decode(text, &length, &out); },
                  [&] { EXPECT_EQ(out, nullptr); }),
              1u);
    csys_memory_free(&out);
  }
  char* text = nullptr;
  pmtsys_test::sweepAllocationFailures(
      [&] {
        return csec_base64_encode(1000, reinterpret_cast<const uint8_t*>(bytes.data()), &text);
      },
      [&] { EXPECT_EQ(text, nullptr); });
  csys_memory_free(&text);
}

}  // namespace
