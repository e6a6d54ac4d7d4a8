// The streaming block copy behind csys_memory_copy, for callers that choose their own split.
#pragma once

#include <cstdint>

// Copies head bytes, then bulk / 64 blocks of 64 bytes with non-temporal stores (the low six
// bits of bulk are ignored), then tail bytes. Negative counts copy nothing.
void csys_memory_streamCopy(const void* source, void* destination, int64_t bulk, int64_t head,
                            int64_t tail);
