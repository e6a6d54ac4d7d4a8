// Base64 round trips of the input through both flavours at exact and tiny room, and the input
// itself decoded as text by both flavours, which must agree.
#include "fuzz/base64_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace base64_check;
  if (size == 0) return 0;
  const uint32_t tiny = data[0] % 8;
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string text, bytes;
  csys_status status = CSYS_OK;
  if (!encodeAgrees(data, static_cast<uint32_t>(size), tiny, &text) ||
      !decodeAgrees(text.c_str(), tiny, &status, &bytes) || status != CSYS_OK || bytes != input ||
      !decodeAgrees(input.c_str(), tiny, &status, &bytes)) {
    __builtin_trap();
  }
  return 0;
}
