// Base64 in both directions. Encoding turns each 12 bits into two characters with one table
// load; decoding merges the four characters of a group through tables that place each
// character's bits where they land in the output, and in which every byte outside the alphabet
// sets bits above the group's 24, so one comparison checks a group.
// Text is decoded where it lies; only when that meets a blank is a copy without blanks made.
#include "csec_base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "cleanup/cleanup_internal.h"
#include "csys_memory.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotInAlphabet = 255;
constexpr uint32_t kGroupBits = 24;

// The alphabet index of each byte value, 255 for any other byte ("=" and NUL included).
constexpr std::array<uint8_t, 256> kDecode = [] {
  std::array<uint8_t, 256> table{};
  table.fill(kNotInAlphabet);
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}();

// kPlaced[k][c]: the bits of character c at place k of a group, where they land in the group's
// three bytes read as a little-endian word; bytes outside the alphabet set bit 24 and above.
constexpr std::array<std::array<uint32_t, 256>, 4> kPlaced = [] {
  std::array<std::array<uint32_t, 256>, 4> tables{};
  for (size_t c = 0; c < 256; ++c) {
    const uint32_t v = kDecode[c];
    const bool bad = v == kNotInAlphabet;
    tables[0][c] = bad ? ~0u : v << 2;
    tables[1][c] = bad ? ~0u : v >> 4 | (v & 0x0F) << 12;
    tables[2][c] = bad ? ~0u : (v >> 2) << 8 | (v & 0x03) << 22;
    tables[3][c] = bad ? ~0u : v << 16;
  }
  return tables;
}();
static_assert(std::endian::native == std::endian::little,
              "groups are stored as little-endian words");

// The two characters of every 12-bit value.
constexpr std::array<std::array<char, 2>, 4096> kPairs = [] {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (size_t i = 0; i < pairs.size(); ++i) pairs[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
  return pairs;
}();

constexpr bool isBlank(char c) {
  return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// Text plus NUL for n bytes; above 32 bits for the largest lengths, which are refused.
constexpr uint64_t encodedSize(uint32_t n) {
  return uint64_t{n} / 3 * 4 + 1 + (n % 3 != 0 ? 4 : 0);
}

void encodeInto(uint32_t length, const uint8_t* bytes, char* dest) {
  const uint8_t* const fullEnd = bytes + length / 3 * 3;
  for (; bytes != fullEnd; bytes += 3, dest += 4) {
    const uint32_t group = uint32_t{bytes[0]} << 16 | uint32_t{bytes[1]} << 8 | bytes[2];
    std::memcpy(dest, kPairs[group >> 12].data(), 2);
    std::memcpy(dest + 2, kPairs[group & 0xFFF].data(), 2);
  }
  if (length % 3 != 0) {
    const uint32_t b0 = bytes[0];
    const uint32_t b1 = length % 3 == 2 ? bytes[1] : 0;
    dest[0] = kAlphabet[b0 >> 2];
    dest[1] = kAlphabet[((b0 << 4) & 63) | (b1 >> 4)];
    dest[2] = length % 3 == 2 ? kAlphabet[(b1 << 2) & 63] : '=';
    dest[3] = '=';
    dest += 4;
  }
  *dest = '\0';
}

uint32_t groupValue(const char* text) {
  const auto* c = reinterpret_cast<const uint8_t*>(text);
  return kPlaced[0][c[0]] | kPlaced[1][c[1]] | kPlaced[2][c[2]] | kPlaced[3][c[3]];
}

// Decodes len characters (the padding already left out) into dest. Every group but the last is
// stored as a whole word, whose fourth byte the next group overwrites.
csys_status decodeGroups(const char* text, size_t len, uint8_t* dest) {
  const size_t groups = len / 4;
  for (size_t i = 0; i + 1 < groups; ++i, text += 4, dest += 3) {
    const uint32_t group = groupValue(text);
    if (group >> kGroupBits != 0) return CSYS_E_INVALID_ARGUMENT;
    std::memcpy(dest, &group, 4);
  }
  if (groups != 0) {
    const uint32_t group = groupValue(text);
    if (group >> kGroupBits != 0) return CSYS_E_INVALID_ARGUMENT;
    std::memcpy(dest, &group, 3);
    text += 4;
    dest += 3;
  }
  if (len % 4 == 0) return CSYS_OK;
  const auto* c = reinterpret_cast<const uint8_t*>(text);
  const uint32_t v0 = kDecode[c[0]];
  const uint32_t v1 = kDecode[c[1]];
  if (v0 == kNotInAlphabet || v1 == kNotInAlphabet) return CSYS_E_INVALID_ARGUMENT;
  dest[0] = static_cast<uint8_t>(v0 << 2 | v1 >> 4);
  if (text[2] == '=') return CSYS_OK;
  const uint32_t v2 = kDecode[c[2]];
  if (v2 == kNotInAlphabet) return CSYS_E_INVALID_ARGUMENT;
  dest[1] = static_cast<uint8_t>(v1 << 4 | v2 >> 2);
  return CSYS_OK;
}

// Decodes n characters that hold no blanks; `prepare(size, &dest)` gives room for size bytes.
template <typename Prepare>
csys_status decodeText(const char* text, size_t n, uint32_t* length, Prepare prepare) {
  if (n % 4 != 0) return CSYS_E_INVALID_ARGUMENT;  // unpadded
  size_t len = n;
  size_t size = n / 4 * 3;
  for (int i = 0; i < 2 && len != 0 && text[len - 1] == '='; ++i) {
    --len;
    --size;
  }
  if (size > UINT32_MAX) return CSYS_E_NEGATIVE_SIZE;  // its length has no 32-bit count
  uint8_t* dest = nullptr;
  CSYS_RETURN_IF_FAILED(prepare(static_cast<uint32_t>(size), &dest));
  CSYS_RETURN_IF_FAILED(decodeGroups(text, len, dest));
  *length = static_cast<uint32_t>(size);
  return CSYS_OK;
}

// The text without blanks: the text itself (*copy stays null) or a copy the caller frees.
csys_status stripWhitespace(const char* text, const char** stripped, size_t* length, char** copy) {
  CSYS_CHECK(text != nullptr && stripped != nullptr && length != nullptr && copy != nullptr);
  const size_t n = std::strlen(text);
  size_t kept = 0;
  while (kept < n && !isBlank(text[kept])) ++kept;
  if (kept < n) {
    CleanupFrame<1> frame;
    if (frame.call(csys_memory_alloc(static_cast<intptr_t>(n), copy))) {
      frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, copy,
                csys_memory_free_internal);
      std::memcpy(*copy, text, kept);
      for (size_t i = kept; i < n; ++i) {
        if (!isBlank(text[i])) (*copy)[kept++] = text[i];
      }
    }
    CSYS_RETURN_IF_FAILED(frame.close());
  }
  *stripped = *copy != nullptr ? *copy : text;
  *length = kept;
  return CSYS_OK;
}

// Text without blanks, the common case, decodes in place at once. Where that is refused for a
// character or a length that blanks may explain, and the text has one, it is decoded again
// without its blanks.
template <typename Prepare>
csys_status decode(const char* text, uint32_t* length, Prepare prepare) {
  const size_t n = std::strlen(text);
  const csys_status status = decodeText(text, n, length, prepare);
  if (status != CSYS_E_INVALID_ARGUMENT && status != CSYS_E_NEGATIVE_SIZE) return status;
  if (std::find_if(text, text + n, isBlank) == text + n) return status;
  CleanupFrame<1> frame;
  char* copy = nullptr;
  frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &copy, csys_memory_free_internal);
  const char* stripped = nullptr;
  size_t strippedLength = 0;
  if (frame.call(stripWhitespace(text, &stripped, &strippedLength, &copy))) {
    frame.call(decodeText(stripped, strippedLength, length, prepare));
  }
  return frame.close();
}

}  // namespace

extern "C" {

CSYS_API csys_status csec_base64_encodeToDest(uint32_t length, const uint8_t* bytes,
                                              uint32_t capacity, char* dest) {
  if (bytes == nullptr || dest == nullptr) return CSYS_E_BASE64_NULL;
  if (capacity < encodedSize(length)) return CSYS_E_NEGATIVE_SIZE;
  encodeInto(length, bytes, dest);
  return CSYS_OK;
}

CSYS_API csys_status csec_base64_encode(uint32_t length, const uint8_t* bytes, char** out) {
  if (bytes == nullptr || out == nullptr) return CSYS_E_BASE64_NULL;
  *out = nullptr;
  if (length == 0) return CSYS_OK;
  const uint64_t size = encodedSize(length);
  if (size > UINT32_MAX) return CSYS_E_NEGATIVE_SIZE;  // sizes are 32-bit counts
  char* text = nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_alloc(static_cast<intptr_t>(size), &text));
  encodeInto(length, bytes, text);
  *out = text;
  return CSYS_OK;
}

CSYS_API csys_status csec_base64_decode(const char* text, uint32_t* length, uint8_t** out) {
  if (text == nullptr || length == nullptr || out == nullptr) return CSYS_E_BASE64_NULL;
  // Handed over only on success; a second attempt replaces the first attempt's block.
  CleanupFrame<1> frame;
  uint8_t* buffer = nullptr;
  frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &buffer,
            csys_memory_free_internal);
  uint32_t decoded = 0;
  frame.call(decode(text, &decoded, [&buffer](uint32_t size, uint8_t** dest) {
    CSYS_RETURN_IF_FAILED(csys_memory_alloc(size, &buffer));
    *dest = buffer;
    return CSYS_OK;
  }));
  const csys_status status = frame.close();
  if (CSYS_SUCCEEDED(status)) {
    *out = buffer;
    *length = decoded;
  }
  return status;
}

CSYS_API csys_status csec_base64_decodeToDest(const char* text, uint32_t* length, uint8_t* dest) {
  if (text == nullptr || length == nullptr || dest == nullptr) return CSYS_E_BASE64_NULL;
  const uint32_t capacity = *length;
  return decode(text, length, [capacity, dest](uint32_t size, uint8_t** room) {
    if (size > capacity) return CSYS_E_NEGATIVE_SIZE;
    *room = dest;
    return CSYS_OK;
  });
}

}  // extern "C"
