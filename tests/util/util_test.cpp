// Utilities: base64 texts (RFC 4648's vectors, blanks, every malformed form) in both flavours,
// refusals; the per-thread generator's known values, seeds per thread and a fresh state.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "cmath_rand.h"
#include "csys_thread.h"
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

TEST(Base64, DecodesAndEncodesEveryFormAndRefusesNullsAndSizesBeyond32Bits) {
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
  for (int c = 0; c < 256; ++c) {  // in a group, every byte but the alphabet's is refused
    const char text[] = {'Z', 'm', static_cast<char>(c), 'v', '\0'};
    uint32_t length = 3;
    uint8_t dest[3];
    const bool inAlphabet = std::isalnum(c) != 0 || c == '+' || c == '/';
    EXPECT_EQ(csec_base64_decodeToDest(text, &length, dest) == CSYS_OK, inAlphabet) << c;
  }
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

struct Draw {
  int64_t seed;  // -1: not seeded
  std::vector<int32_t> values = std::vector<int32_t>(3000);
  csys_thread thread{};
};

// The draw caches the thread's state block; cleaning the thread up frees that block, so a later
// draw must start a fresh state, not read the freed one (the sanitizer leg sees a stale read).
TEST(Random, ThreadsDrawTheirOwnSequencesAndAfreshAfterTheirCleanup) {
  std::vector<Draw> draws{{-1}, {1}, {0}, {0xDEADBEEF}, {0xDEADBEEF}};
  const csys_threadFunc draw = [](void* arg) -> uint32_t {
    auto* d = static_cast<Draw*>(arg);
    if (d->seed >= 0) cmath_srand(static_cast<uint32_t>(d->seed));
    for (int32_t& value : d->values) value = cmath_rand();
    return 0;
  };
  for (Draw& d : draws) {                            // all at once
    ASSERT_EQ(csys_thread_construct(&d.thread), 0);  // in order, which | would not promise
    ASSERT_EQ(csys_thread_create(draw, &d, nullptr, &d.thread), 0);
  }
  for (Draw& d : draws) {
    EXPECT_EQ(csys_thread_waitForTermination(&d.thread), 0);
    EXPECT_EQ(csys_thread_destruct(&d.thread), 0);
    auto state = static_cast<uint32_t>(d.seed < 0 ? 1 : d.seed);
    for (const int32_t value : d.values) {
      state = state * 214013u + 2531011u;
      ASSERT_EQ(value, static_cast<int32_t>((state >> 16) & 0x7FFFu)) << d.seed;
    }
  }
  EXPECT_EQ(std::make_pair(draws[0].values[0], draws[2].values[0]), std::make_pair(41, 38));
  std::thread foreign([] {
    cmath_srand(7);
    EXPECT_NE(cmath_rand(), 41);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
    EXPECT_EQ(cmath_rand(), 41);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
  });
  foreign.join();
}

}  // namespace
