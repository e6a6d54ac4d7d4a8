// Vector operation scripts from the input, on a vector with the counting element table or with
// plain zero-filled elements (the first byte chooses); any disagreement with the model traps.
#include "fuzz/vector_script.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  using namespace vector_script;
  violations = 0;
  run(data + 1, size - 1, data[0] % 2 == 0 ? &kCounted : &kZeroed);
  if (violations != 0) __builtin_trap();
  return 0;
}
