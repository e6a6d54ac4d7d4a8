// Path joining on any directory, name and buffer size (the size byte, then directory and name
// split at the first zero byte); the library's own check of every promise of the join decides.
#include <cstdint>

#include "fuzz_check.h"
#include "platform/file_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FUZZ_CHECK(csys_fileMakePath_fuzzInput(data, size));
  return 0;
}
