// Both flavours of a base64 direction agree, at the exact room and at a given one; destinations
// have exactly their room, so that the address sanitizer sees a write past it.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "csec_base64.h"
#include "csys_memory.h"

namespace base64_check {

// Gives the allocating decoder's status and bytes.
inline bool decodeAgrees(const char* text, uint32_t room, csys_status* status, std::string* bytes) {
  uint32_t length = 0;
  uint8_t* out = nullptr;
  *status = csec_base64_decode(text, &length, &out);
  bool ok = (out == nullptr) == (CSYS_FAILED(*status) || length == 0);
  bytes->assign(out != nullptr ? reinterpret_cast<char*>(out) : "", out != nullptr ? length : 0);
  csys_memory_free(&out);
  for (const uint32_t capacity : {length, room}) {
    auto dest = std::make_unique<uint8_t[]>(capacity);
    uint32_t inOut = capacity;
    const csys_status toDest = csec_base64_decodeToDest(text, &inOut, dest.get());
    const bool fits = CSYS_SUCCEEDED(*status) && capacity >= length;
    // The room is checked before the characters.
    ok = ok && (fits ? toDest == CSYS_OK && inOut == length &&
                           std::memcmp(dest.get(), bytes->data(), length) == 0
                     : (toDest == *status || toDest == CSYS_E_NEGATIVE_SIZE) && inOut == capacity);
  }
  return ok;
}

// Gives the allocating encoder's text.
inline bool encodeAgrees(const uint8_t* data, uint32_t n, uint32_t room, std::string* text) {
  char* out = nullptr;
  bool ok = csec_base64_encode(n, data, &out) == CSYS_OK && (out == nullptr) == (n == 0);
  text->assign(out != nullptr ? out : "");
  csys_memory_free(&out);
  const auto needed = static_cast<uint32_t>(text->size() + 1);
  for (const uint32_t capacity : {needed, room}) {
    auto dest = std::make_unique<char[]>(capacity);
    const csys_status status = csec_base64_encodeToDest(n, data, capacity, dest.get());
    ok = ok && (capacity >= needed ? status == CSYS_OK && dest.get() == *text
                                   : status == CSYS_E_NEGATIVE_SIZE);
  }
  return ok;
}

}  // namespace base64_check
