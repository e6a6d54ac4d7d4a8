// Base64 round trips of the input through both flavours at exact and tiny capacities, and the
// input itself decoded as text by both flavours, which must agree. Destinations are allocated
// at exactly their stated capacity, so a write past one is caught by the address sanitizer.
#include <cstring>
#include <memory>
#include <string>

#include "csec_base64.h"
#include "csys_memory.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Decodes through both flavours: the decoded bytes, or the status both gave.
csys_status decodeBoth(const char* text, uint32_t tiny, std::string* bytes) {
  uint32_t length = 0;
  uint8_t* out = nullptr;
  const csys_status status = csec_base64_decode(text, &length, &out);
  if (CSYS_SUCCEEDED(status)) bytes->assign(reinterpret_cast<char*>(out), length);
  csys_memory_free(&out);
  for (uint32_t capacity : {length, tiny}) {
    auto dest = std::make_unique<uint8_t[]>(capacity);
    uint32_t inOut = capacity;
    const csys_status toDest = csec_base64_decodeToDest(text, &inOut, dest.get());
    if (CSYS_FAILED(status)) {
      // Room is checked before the characters.
      require(toDest == status || toDest == CSYS_E_NEGATIVE_SIZE);
    } else if (capacity >= length) {
      require(toDest == CSYS_OK && inOut == length);
      require(std::memcmp(dest.get(), bytes->data(), length) == 0);
    } else {
      require(toDest == CSYS_E_NEGATIVE_SIZE && inOut == capacity);
    }
  }
  return status;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint32_t tiny = data[0] % 8;
  const auto n = static_cast<uint32_t>(size);
  char* text = nullptr;
  require(csec_base64_encode(n, data, &text) == CSYS_OK);
  const auto encoded = static_cast<uint32_t>(std::strlen(text) + 1);
  for (uint32_t capacity : {encoded, tiny}) {
    auto dest = std::make_unique<char[]>(capacity);
    const csys_status status = csec_base64_encodeToDest(n, data, capacity, dest.get());
    require(capacity >= encoded ? status == CSYS_OK && std::strcmp(dest.get(), text) == 0
                                : status == CSYS_E_NEGATIVE_SIZE);
  }
  std::string bytes;
  require(decodeBoth(text, tiny, &bytes) == CSYS_OK);
  require(bytes == std::string(reinterpret_cast<const char*>(data), size));
  csys_memory_free(&text);
  const std::string raw(reinterpret_cast<const char*>(data), size);
  decodeBoth(raw.c_str(), tiny, &bytes);
  return 0;
}
