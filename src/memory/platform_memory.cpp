// On-chip memory and the heap-block registry: this platform has neither, so every query
// answers "nothing" and every registration is accepted and forgotten.
#include "csys_memory.h"

namespace {

csys_status storeZero(uint64_t* out) {
  if (out != nullptr) *out = 0;
  return CSYS_OK;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_memory_getIsOnChip(const void* /*block*/, int32_t* isOnChip) {
  if (isOnChip != nullptr) *isOnChip = 0;
  return CSYS_OK;
}

CSYS_API csys_status csys_memory_getOnChipHeapSize(uint64_t* size) {
  return storeZero(size);
}
CSYS_API csys_status csys_memory_getOnChipUsage(uint64_t* usage) {
  return storeZero(usage);
}
CSYS_API csys_status csys_memory_getOnChipMaxUsage(uint64_t* maxUsage) {
  return storeZero(maxUsage);
}
CSYS_API csys_status csys_memory_resetOnChipMaxUsage(void) {
  return CSYS_OK;
}
CSYS_API csys_status csys_memory_heapblock_add(uintptr_t /*block*/) {
  return CSYS_OK;
}
CSYS_API csys_status csys_memory_heapblock_remove(uint32_t /*value*/) {
  return CSYS_OK;
}
CSYS_API csys_status csys_memory_heapblock_clear(void) {
  return CSYS_OK;
}
CSYS_API csys_status csys_memory_heapblock_dump(void) {
  return CSYS_OK;
}
CSYS_API csys_status csys_memory_heapblock_count(uint32_t* count) {
  if (count != nullptr) *count = 0;
  return CSYS_OK;
}

}  // extern "C"
