// Filling of blocks, rectangles and repeated patterns. Short blocks are filled in place; the
// rest ends in memset or memcpy.
#include <cstring>

#include "csys_memory.h"
#include "diag/check.h"
#include "os/processor.h"

namespace {

// Blocks up to this size are filled in place: below it a call to the runtime costs as much as
// the stores themselves.
constexpr size_t kInPlaceBytes = 128;

// Stores `pattern` at `at` and, overlapping, ending at `end`: two stores cover any length from
// one pattern to two.
template <typename T>
void storeBothEnds(unsigned char* at, unsigned char* end, T pattern) {
  std::memcpy(at, &pattern, sizeof(T));
  std::memcpy(end - sizeof(T), &pattern, sizeof(T));
}

// 32 to kInPlaceBytes bytes: four overlapping 16-byte stores cover up to 64, eight the rest.
void fillFrom32(unsigned char* dest, uint8_t value, size_t size) {
  unsigned char* const end = dest + size;
  const os_vector16 wide = os_broadcast16(value);
  os_store16(dest, wide);
  os_store16(dest + 16, wide);
  os_store16(end - 32, wide);
  os_store16(end - 16, wide);
  if (size > 64) [[unlikely]] {  // keeps the straight path for up to 64 bytes
    os_store16(dest + 32, wide);
    os_store16(dest + 48, wide);
    os_store16(end - 64, wide);
    os_store16(end - 48, wide);
  }
}

// 1 to 31 bytes, two overlapping stores of the widest size that fits.
void fillBelow32(unsigned char* dest, uint8_t value, size_t size) {
  unsigned char* const end = dest + size;
  if (size >= 16) {
    const os_vector16 wide = os_broadcast16(value);
    os_store16(dest, wide);
    os_store16(end - 16, wide);
  } else if (size >= 8) {
    storeBothEnds(dest, end, static_cast<uint64_t>(value) * 0x0101010101010101u);
  } else if (size >= 4) {
    storeBothEnds(dest, end, static_cast<uint32_t>(value) * 0x01010101u);
  } else {
    dest[0] = value;
    end[-1] = value;
    dest[size / 2] = value;
  }
}

// Every fill but a block of 32 to kInPlaceBytes bytes, reached by a tail call so that the
// short path needs no stack frame and no test beyond its own.
[[gnu::noinline]] csys_status fillOther(uint8_t value, intptr_t size, void* dest) {
  if (dest == nullptr || size < 1) {
    CSYS_CHECK(size < 1 || dest != nullptr);
    if (size < 0) return CSYS_E_NEGATIVE_SIZE;
    return size == 0 ? CSYS_OK : CSYS_E_INVALID_ARGUMENT;
  }
  const auto length = static_cast<size_t>(size);
  if (length < 32) {
    fillBelow32(static_cast<unsigned char*>(dest), value, length);
  } else {
    std::memset(dest, value, length);
  }
  return CSYS_OK;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_memory_fill(uint8_t value, intptr_t size, void* dest) {
  // One unsigned comparison tests for 32 to kInPlaceBytes bytes (a negative size wraps high).
  if (static_cast<size_t>(size) - 32 <= kInPlaceBytes - 32 && dest != nullptr) {
    fillFrom32(static_cast<unsigned char*>(dest), value, static_cast<size_t>(size));
    return CSYS_OK;
  }
  return fillOther(value, size, dest);
}

CSYS_API csys_status csys_memory_fill64(uint8_t value, int64_t size, void* dest) {
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size > INTPTR_MAX) return CSYS_E_OUT_OF_MEMORY;
  return csys_memory_fill(value, static_cast<intptr_t>(size), dest);
}

CSYS_API csys_status csys_memory_fillRect(uint8_t value, int32_t rowBytes, int32_t rows,
                                          int32_t stride, void* dest) {
  if (rowBytes == stride) {
    // Two negatives would make a positive product: refuse them like any invalid rectangle.
    if (rowBytes < 0 && rows < 0) return CSYS_E_INVALID_RECT;
    return csys_memory_fill64(value, static_cast<int64_t>(rowBytes) * rows, dest);
  }
  if (rowBytes < 0 || rows < 0 || stride < rowBytes) return CSYS_E_INVALID_RECT;
  CSYS_CHECK(dest != nullptr);
  if (dest == nullptr) return rows == 0 || rowBytes == 0 ? CSYS_OK : CSYS_E_INVALID_ARGUMENT;
  auto* row = static_cast<unsigned char*>(dest);
  for (int32_t i = 0; i < rows; ++i, row += stride) {
    std::memset(row, value, static_cast<size_t>(rowBytes));
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_fillBlock(const void* pattern, int64_t blockSize, int64_t count,
                                           void* dest) {
  CSYS_CHECK(pattern != nullptr && dest != nullptr);
  if (blockSize < 1 || count < 0) return CSYS_E_INVALID_BLOCK;
  if (count == 0) return CSYS_OK;
  if (pattern == nullptr || dest == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const auto* bytes = static_cast<const unsigned char*>(pattern);
  if (count > INTPTR_MAX / blockSize) return CSYS_E_INVALID_BLOCK;
  const auto size = static_cast<size_t>(blockSize);
  // Short uniform patterns become one memset of the whole area.
  if (blockSize <= 8 && std::memcmp(bytes, bytes + 1, size - 1) == 0) {
    return csys_memory_fill(bytes[0], static_cast<intptr_t>(count * blockSize), dest);
  }
  auto* out = static_cast<unsigned char*>(dest);
  for (int64_t i = 0; i < count; ++i, out += size) std::memcpy(out, bytes, size);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_fillBlock64(const void* pattern, int64_t blockSize, int64_t count,
                                             void* dest) {
  if (blockSize < 1 || count < 0) return CSYS_E_INVALID_BLOCK;
  return csys_memory_fillBlock(pattern, blockSize, count, dest);
}

}  // extern "C"
