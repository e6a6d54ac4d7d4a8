// The path joining's entry for fuzzers.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes `data` as one buffer size byte, then a directory and a name separated by a zero byte,
// joins them into a buffer of exactly that size and checks what every join promises: `out`
// returned, the result terminated inside the buffer and a prefix of the uncut join. False when a
// promise is broken; a fuzzer aborts on that.
bool csys_fileMakePath_fuzzInput(const uint8_t* data, size_t size);
