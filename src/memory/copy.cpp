// Block and rectangle copies. On processors with SSE2 every copy streams: the destination is
// brought to a 32-byte boundary, whole blocks are written with non-temporal stores that bypass
// the caches, and the ends are copied with ordinary stores.
#include <cstring>

#include "csys_cpuinfo.h"
#include "csys_memory.h"
#include "diag/check.h"
#include "memory/copy_internal.h"
#include "os/processor.h"
#include "platform/cpuinfo_internal.h"

namespace {

using Byte = unsigned char;

template <typename Word>
void copyEnds(Byte* destination, const Byte* source, size_t size) {
  Word first, last;
  std::memcpy(&first, source, sizeof(Word));
  std::memcpy(&last, source + size - sizeof(Word), sizeof(Word));
  std::memcpy(destination, &first, sizeof(Word));
  std::memcpy(destination + size - sizeof(Word), &last, sizeof(Word));
}

// Up to 64 bytes with at most four wide loads and stores, the last ones overlapping the first.
void copySmall(Byte* destination, const Byte* source, size_t size) {
  if (size >= 32) {
    const os_vector16 a = os_load16(source);
    const os_vector16 b = os_load16(source + 16);
    const os_vector16 c = os_load16(source + size - 32);
    const os_vector16 d = os_load16(source + size - 16);
    os_store16(destination, a);
    os_store16(destination + 16, b);
    os_store16(destination + size - 32, c);
    os_store16(destination + size - 16, d);
  } else if (size >= 16) {
    copyEnds<os_vector16>(destination, source, size);
  } else if (size >= 8) {
    copyEnds<uint64_t>(destination, source, size);
  } else if (size >= 4) {
    copyEnds<uint32_t>(destination, source, size);
  } else if (size >= 2) {
    copyEnds<uint16_t>(destination, source, size);
  } else if (size == 1) {
    *destination = *source;
  }
}

// Blocks of `kBlock` bytes with non-temporal stores, 16 bytes wide when the destination allows,
// else 8; the source is prefetched `ahead` bytes (and 32 more) in front of the reads.
template <size_t kBlock>
void streamBlocks(Byte* destination, const Byte* source, size_t blocks, size_t ahead) {
  if ((reinterpret_cast<uintptr_t>(destination) & 15) == 0) {
    for (size_t i = 0; i < blocks; ++i, source += kBlock, destination += kBlock) {
      os_prefetchNonTemporal(source + ahead);
      os_prefetchNonTemporal(source + ahead + 32);
      for (size_t offset = 0; offset < kBlock; offset += 16) {
        os_streamStore16(destination + offset, os_load16(source + offset));
      }
    }
    return;
  }
  for (size_t i = 0; i < blocks; ++i, source += kBlock, destination += kBlock) {
    os_prefetchNonTemporal(source + ahead);
    os_prefetchNonTemporal(source + ahead + 32);
    for (size_t offset = 0; offset < kBlock; offset += 8) {
      int64_t word;
      std::memcpy(&word, source + offset, 8);
      os_streamStore8(destination + offset, word);
    }
  }
}

// Copies of any length with ordinary wide stores, 64 bytes at a time.
void copyPlain(Byte* destination, const Byte* source, size_t size) {
  for (; size > 64; size -= 64, source += 64, destination += 64) copySmall(destination, source, 64);
  copySmall(destination, source, size);
}

size_t count(int64_t value) {
  return value > 0 ? static_cast<size_t>(value) : 0;
}

// Bytes that bring `destination` to a multiple of 32, at most `size`.
size_t headFor(const void* destination, size_t size) {
  const size_t head = (32 - (reinterpret_cast<uintptr_t>(destination) & 31)) & 31;
  return head < size ? head : size;
}

bool streams(const csys_cpuinfo& info) {
  return (info.architecture == CSYS_CPU_ARCH_X86 || info.architecture == CSYS_CPU_ARCH_X64) &&
         (info.features & CSYS_CPU_FEATURE_SSE2) != 0;
}

// The vector registers used here leave no MMX state behind, so the fence is the only clean-up;
// and it is needed only when a non-temporal store was issued.
void fenceAfter(size_t blocks) {
  if (blocks != 0) os_storeFence();
}

}  // namespace

void csys_memory_streamCopy(const void* source, void* destination, int64_t bulk, int64_t head,
                            int64_t tail) {
  const auto* from = static_cast<const Byte*>(source);
  auto* to = static_cast<Byte*>(destination);
  os_prefetchNonTemporal(from);
  copyPlain(to, from, count(head));
  from += count(head);
  to += count(head);
  const size_t blocks = count(bulk) / 64;
  streamBlocks<64>(to, from, blocks, 64);
  from += blocks * 64;
  to += blocks * 64;
  copyPlain(to, from, count(tail));
  fenceAfter(blocks);
}

extern "C" {

CSYS_API csys_status csys_memory_copy(intptr_t size, const void* source, void* destination) {
  CSYS_CHECK(size < 1 || (source != nullptr && destination != nullptr));
  if (size <= 0) return size < 0 ? CSYS_E_NEGATIVE_SIZE : CSYS_OK;
  if (source == nullptr || destination == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_status status = CSYS_OK;
  const csys_cpuinfo* info = csys_cpuinfo_current(&status);
  if (info == nullptr) return status;
  if (!streams(*info)) {
    std::memcpy(destination, source, static_cast<size_t>(size));
    return CSYS_OK;
  }
  const auto head = static_cast<int64_t>(headFor(destination, static_cast<size_t>(size)));
  const int64_t rest = size - head;
  const int64_t tail = rest % 64;
  csys_memory_streamCopy(source, destination, rest - tail, head, tail);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_copy64(int64_t size, const void* source, void* destination) {
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size > INTPTR_MAX) return CSYS_E_OUT_OF_MEMORY;
  return csys_memory_copy(static_cast<intptr_t>(size), source, destination);
}

CSYS_API csys_status csys_memory_copyRect(int32_t rowBytes, int32_t rows, int32_t sourceStride,
                                          int32_t destinationStride, const void* source,
                                          void* destination) {
  if (rowBytes == sourceStride && rowBytes == destinationStride) {
    // Two negatives would make a positive product: refuse them like any invalid rectangle.
    if (rowBytes < 0 && rows < 0) return CSYS_E_INVALID_RECT;
    return csys_memory_copy64(static_cast<int64_t>(rowBytes) * rows, source, destination);
  }
  CSYS_CHECK(source != nullptr && destination != nullptr);
  if (rowBytes < 0 || rows < 0 || sourceStride < rowBytes || destinationStride < rowBytes) {
    return CSYS_E_INVALID_RECT;
  }
  if (rows == 0 || rowBytes == 0) return CSYS_OK;
  if (source == nullptr || destination == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_status status = CSYS_OK;
  const csys_cpuinfo* info = csys_cpuinfo_current(&status);
  if (info == nullptr) return status;
  const auto* from = static_cast<const Byte*>(source);
  auto* to = static_cast<Byte*>(destination);
  const auto width = static_cast<size_t>(rowBytes);
  if (!streams(*info) || destinationStride % 32 != 0) {
    for (int32_t row = 0; row < rows; ++row, from += sourceStride, to += destinationStride) {
      std::memcpy(to, from, width);
    }
    return CSYS_OK;
  }
  // Every row starts at the alignment of the first, so one split serves all rows.
  const size_t head = headFor(destination, width);
  const size_t blocks = (width - head) / 32;
  const size_t tail = (width - head) % 32;
  for (int32_t row = 0; row < rows; ++row, from += sourceStride, to += destinationStride) {
    copySmall(to, from, head);
    streamBlocks<32>(to + head, from + head, blocks, 32);
    copySmall(to + head + blocks * 32, from + head + blocks * 32, tail);
  }
  fenceAfter(blocks);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_clone_internal(intptr_t size, const void* source, void** dest) {
  CSYS_CHECK(dest != nullptr);
  if (dest == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size == 0) return csys_memory_free_internal(dest);
  const bool fresh = *dest == nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_realloc_internal(size, dest));
  // The copy can fail too (its first use detects the processor): a failed clone hands over no
  // new block, and a variable that held one keeps it.
  const csys_status copied = csys_memory_copy(size, source, *dest);
  if (CSYS_FAILED(copied) && fresh) csys_memory_free_internal(dest);
  return copied;
}

CSYS_API csys_status csys_memory_clone64_internal(int64_t size, const void* source, void** dest) {
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size > INTPTR_MAX) return CSYS_E_OUT_OF_MEMORY;
  return csys_memory_clone_internal(static_cast<intptr_t>(size), source, dest);
}

CSYS_API void cf_asmwrap_fast_simple_copy(const void* source, void* destination, int32_t bulk,
                                          int32_t head, int32_t tail) {
  csys_memory_streamCopy(source, destination, bulk, head, tail);
}

}  // extern "C"
