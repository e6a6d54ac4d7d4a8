// Heap allocation through the caller's pointer variable, with request counting and a simulated
// out-of-memory threshold so that failure paths can be exercised.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "csys_memory.h"
#include "diag/check.h"
#include "memory/allocation_internal.h"

namespace {

// Counted atomically: callers allocate from many threads and the threshold must trip exactly.
std::atomic<uint32_t> g_allocCount{0};
std::atomic<uint32_t> g_outOfMemoryAt{0};
std::atomic<bool> g_outOfMemoryOnce{false};
void* g_poolBlock = nullptr;

// The largest block an aligned allocation can describe: its offset is kept in one byte.
constexpr int32_t kMaxAlignment = 255;

// Counts one request and tells whether the simulated threshold refuses it.
inline csys_status countRequests(uint32_t delta) {
  const uint32_t count = g_allocCount.fetch_add(delta, std::memory_order_relaxed) + delta;
  uint32_t threshold = g_outOfMemoryAt.load(std::memory_order_relaxed);
  if (threshold == 0 || count < threshold) return CSYS_OK;
  // Only the request that trips a one-shot threshold clears it.
  if (g_outOfMemoryOnce.load(std::memory_order_relaxed)) {
    g_outOfMemoryAt.compare_exchange_strong(threshold, 0, std::memory_order_relaxed);
  }
  return CSYS_E_OUT_OF_MEMORY;
}

template <typename Func>
csys_status alloc64(int64_t size, void** dest, Func func) {
  CSYS_CHECK(func != nullptr);
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size > INTPTR_MAX) return CSYS_E_OUT_OF_MEMORY;  // does not fit the size type
  if (func == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return func(static_cast<intptr_t>(size), dest);
}

}  // namespace

void csys_memory_setOutOfMemoryOnce(bool once) {
  g_outOfMemoryOnce.store(once, std::memory_order_relaxed);
}

extern "C" {

CSYS_API csys_status csys_memory_allocCountModify(int32_t delta) {
  return countRequests(static_cast<uint32_t>(delta));
}

CSYS_API csys_status csys_memory_allocCountGet(uint32_t* count) {
  CSYS_CHECK(count != nullptr);
  if (count != nullptr) *count = g_allocCount.load(std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_allocCountReset(void) {
  g_allocCount.store(0, std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_allocCountSetOutOfMemory(uint32_t threshold) {
  g_outOfMemoryAt.store(threshold, std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_free_internal(void** dest) {
  CSYS_CHECK(dest != nullptr);
  if (dest != nullptr && *dest != nullptr) {
    std::free(*dest);
    *dest = nullptr;
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_alloc_internal(intptr_t size, void** dest) {
  CSYS_CHECK(dest != nullptr);
  if (dest == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  void* block = nullptr;
  if (size > 0) {
    CSYS_RETURN_IF_FAILED(countRequests(1));
    block = std::malloc(static_cast<size_t>(size));
    if (block == nullptr) return CSYS_E_OUT_OF_MEMORY;
  }
  if (*dest != nullptr) {
    const csys_status status = csys_memory_free_internal(dest);
    if (CSYS_FAILED(status)) {
      std::free(block);
      return status;
    }
  }
  *dest = block;
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_allocCacheAligned_internal(intptr_t size, void** dest) {
  return csys_memory_alloc_internal(size, dest);
}

CSYS_API csys_status csys_memory_allocFastMem_internal(intptr_t size, void** dest) {
  CSYS_CHECK(dest != nullptr);
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size == 0) return CSYS_OK;
  return csys_memory_alloc_internal(size, dest);
}

CSYS_API csys_status csys_memory_allocClear_internal(intptr_t size, void** dest) {
  CSYS_RETURN_IF_FAILED(csys_memory_alloc_internal(size, dest));
  if (*dest == nullptr) return CSYS_OK;
  return csys_memory_fill(0, size, *dest);
}

CSYS_API csys_status csys_memory_realloc_internal(intptr_t size, void** dest) {
  CSYS_CHECK(dest != nullptr);
  if (dest == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  if (size == 0) return csys_memory_free_internal(dest);
  CSYS_RETURN_IF_FAILED(countRequests(1));
  void* block = std::realloc(*dest, static_cast<size_t>(size));
  if (block == nullptr) return CSYS_E_OUT_OF_MEMORY;  // the old block stays intact
  *dest = block;
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_allocAlignedToMalloc_internal(intptr_t size, void** dest,
                                                               int32_t alignment) {
  CSYS_CHECK(dest != nullptr);
  if (dest == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (size < 0) return CSYS_E_NEGATIVE_SIZE;
  // The offset below the block must fit its one byte.
  if (alignment < 1 || alignment > kMaxAlignment) return CSYS_E_INVALID_ALIGNMENT;
  if (size > INTPTR_MAX - alignment) return CSYS_E_OUT_OF_MEMORY;
  CSYS_RETURN_IF_FAILED(csys_memory_alloc_internal(size + alignment, dest));
  auto* plain = static_cast<unsigned char*>(*dest);
  const auto align = static_cast<uintptr_t>(alignment);
  const uintptr_t offset = align - reinterpret_cast<uintptr_t>(plain) % align;
  plain[offset - 1] = static_cast<unsigned char>(offset);
  *dest = plain + offset;
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_freeAlignedToMalloc(void** dest) {
  if (dest == nullptr || *dest == nullptr) return CSYS_OK;
  auto* aligned = static_cast<unsigned char*>(*dest);
  void* plain = aligned - aligned[-1];
  CSYS_RETURN_IF_FAILED(csys_memory_free_internal(&plain));
  *dest = nullptr;
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_alloc64UsingFunc(int64_t size, void** dest,
                                                  csys_memory_allocFunc func) {
  return alloc64(size, dest, func);
}

CSYS_API csys_status csys_memory_realloc64UsingFunc(int64_t size, void** dest,
                                                    csys_memory_allocFunc func) {
  return alloc64(size, dest, func);
}

CSYS_API csys_status csys_memory_alloc64_internal(int64_t size, void** dest) {
  return alloc64(size, dest, csys_memory_alloc_internal);
}

CSYS_API csys_status csys_memory_allocCacheAligned64_internal(int64_t size, void** dest) {
  return alloc64(size, dest, csys_memory_allocCacheAligned_internal);
}

CSYS_API csys_status csys_memory_allocFastMem64_internal(int64_t size, void** dest) {
  return alloc64(size, dest, csys_memory_allocFastMem_internal);
}

CSYS_API csys_status csys_memory_allocClear64_internal(int64_t size, void** dest) {
  return alloc64(size, dest, csys_memory_allocClear_internal);
}

CSYS_API csys_status csys_memory_realloc64_internal(int64_t size, void** dest) {
  return alloc64(size, dest, csys_memory_realloc_internal);
}

CSYS_API void* qzfMalloc(intptr_t size) {
  void* block = nullptr;
  return CSYS_FAILED(csys_memory_alloc_internal(size, &block)) ? nullptr : block;
}

CSYS_API void* qzfCacheAlloc(intptr_t size) {
  void* block = nullptr;
  return CSYS_FAILED(csys_memory_allocCacheAligned_internal(size, &block)) ? nullptr : block;
}

CSYS_API void qzfFree(void* block) {
  csys_memory_free_internal(&block);
}

CSYS_API void* qzfPoolAlloc(uint32_t size) {
  csys_memory_free_internal(&g_poolBlock);
  if (size > 0 && CSYS_FAILED(csys_memory_alloc_internal(size, &g_poolBlock))) return nullptr;
  return g_poolBlock;
}

CSYS_API intptr_t qzfPoolAllocAvailable(void) {
  return 0;
}

CSYS_API void qzfHeapStatistics(qzfHeapStats* stats) {
  CSYS_CHECK(stats != nullptr);
  if (stats != nullptr) *stats = qzfHeapStats{0, 0, 0, 0};
}

}  // extern "C"
