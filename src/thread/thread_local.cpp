// Thread-local storage: the operating-system slot wrappers, the per-thread block behind one
// slot, and keyed values with destructors. A block is touched only by its own thread, so the
// read path is a slot read and an index: no lock, no allocation.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "csys_memory.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "thread/thread_local_internal.h"
#include "thread/thread_record_internal.h"

namespace {

constexpr uint32_t kCallKindMask = 0x7u;
constexpr uint32_t kRunAlways = CSYS_CLEANUP_RUN_ALWAYS;

uint32_t g_slot = 0;
int32_t g_slotOnce = 0;
std::atomic<int32_t> g_slotReleased{0};
int32_t g_keyCount = 0;  // only grows; written under the global mutex

bool slotCreated() {
  return std::atomic_ref<int32_t>(g_slotOnce).load(std::memory_order_acquire) != 0;
}

int32_t keyCount() {
  return std::atomic_ref<int32_t>(g_keyCount).load(std::memory_order_acquire);
}

csys_status allocSlot(void* /*context*/) {
  return qzf_OSThreadLocalAlloc(&g_slot);
}

csys_status clearSlot() {
  return qzf_OSThreadLocalValueSet(g_slot, nullptr);
}

csys_status dropHandle(void* thread) {
  return csys_thread_destruct(static_cast<csys_thread*>(thread));
}

// A new block for the calling thread, stored in the slot, holding one shutdown postponement.
// The postponement is taken first so that a failure gives it back last: giving it back may run
// the final shutdown stage, which releases the slot.
csys_status createBlock(csys_threadLocalBlock** out, csys_threadRecord* record) {
  CleanupFrame<4> frame;
  void* memory = nullptr;
  if (frame.call(csys_shutdownPostponementIncrement())) {
    frame.add(CSYS_CLEANUP_CALL_NOARG | CSYS_CLEANUP_RUN_ON_FAILURE, nullptr,
              csys_shutdownPostponementDecrement);
    if (frame.call(csys_memory_allocClear_internal(sizeof(csys_threadLocalBlock), &memory))) {
      frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &memory,
                csys_memory_free_internal);
      auto* block = static_cast<csys_threadLocalBlock*>(memory);
      const csys_status bound = record != nullptr
                                    ? qzsfPtrHandle_Construct(&block->thread.handle, &record->rep)
                                    : csys_thread_createRecord(&block->thread, 1);
      if (frame.call(bound)) {
        frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, &block->thread, dropHandle);
        CSYS_CHECK(block->thread.handle.rep != nullptr);
        if (frame.call(qzf_OSThreadLocalValueSet(g_slot, block))) {
          frame.add(CSYS_CLEANUP_CALL_NOARG | CSYS_CLEANUP_RUN_ON_FAILURE, nullptr, clearSlot);
        }
      }
    }
  }
  auto* block = static_cast<csys_threadLocalBlock*>(memory);
  const csys_status status = frame.close();
  if (CSYS_SUCCEEDED(status) && out != nullptr) *out = block;
  return status;
}

csys_status growTable(csys_threadLocalTable* table, int32_t n) {
  if (n <= table->count) return CSYS_OK;
  if (n > table->capacity) {
    const int32_t capacity = (n > 5 ? n : 5) * 2;
    void* entries = table->entries;
    CSYS_RETURN_IF_FAILED(csys_memory_realloc_internal(
        static_cast<intptr_t>(capacity * sizeof(csys_cleanupEntry)), &entries));
    table->entries = static_cast<csys_cleanupEntry*>(entries);
    table->capacity = capacity;
  }
  CSYS_CHECK(n <= table->capacity);
  for (int32_t i = table->count; i < n; ++i)
    table->entries[i] = csys_cleanupEntry{0, 0, nullptr, nullptr};
  table->count = n;
  return CSYS_OK;
}

// Runs one table's entries newest first as a frame in success mode; the first failing call
// stops the run (entries already run are empty) and leaves the table allocated.
csys_status runTable(csys_threadLocalTable* table) {
  if (table->count == 0) return CSYS_OK;
  int32_t count = table->count;
  csys_status status = CSYS_OK;
  csys_cleanupExecute_(table->entries, &count, &status, CSYS_CLEANUP_UNTRACKED_TAG);
  CSYS_RETURN_IF_FAILED(status);
  void* entries = table->entries;
  CSYS_RETURN_IF_FAILED(csys_memory_free_internal(&entries));
  *table = csys_threadLocalTable{0, 0, nullptr};
  return CSYS_OK;
}

bool isAllocatedKey(uint32_t key) {
  const bool known = slotCreated() && key < static_cast<uint32_t>(keyCount());
  CSYS_CHECK(known);
  return known;
}

csys_status allocKey(void* keyOut) {
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_getBlock(&block, 1, nullptr));
  CSYS_CHECK(block != nullptr);
  const int32_t key = keyCount();
  std::atomic_ref<int32_t>(g_keyCount).store(key + 1, std::memory_order_release);
  CSYS_CHECK(block->values.count < key + 1);
  CSYS_RETURN_IF_FAILED(growTable(&block->values, key + 1));
  block->values.entries[key] =
      csys_cleanupEntry{0, kRunAlways | CSYS_CLEANUP_CALL_OBJ, nullptr, nullptr};
  if (keyOut != nullptr) *static_cast<uint32_t*>(keyOut) = static_cast<uint32_t>(key);
  return CSYS_OK;
}

csys_status setEntry(uint32_t key, uint32_t callKind, uintptr_t value, csys_cleanupFunc destroy) {
  // An unallocated key is refused without touching any table.
  if (!isAllocatedKey(key)) return CSYS_E_INVALID_ARGUMENT;
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_getBlock(&block, 1, nullptr));
  CSYS_RETURN_IF_FAILED(growTable(&block->values, static_cast<int32_t>(key) + 1));
  CSYS_CHECK(static_cast<int32_t>(key) < block->values.count);
  csys_cleanupEntry& entry = block->values.entries[key];
  if (entry.flags != 0) {
    // The old value goes first, even when it equals the new one.
    int32_t count = 1;
    csys_status status = CSYS_OK;
    csys_cleanupExecute_(&entry, &count, &status, CSYS_CLEANUP_UNTRACKED_TAG);
    CSYS_RETURN_IF_FAILED(status);
  }
  entry = csys_cleanupEntry{0, callKind | kRunAlways, reinterpret_cast<void*>(value), destroy};
  return CSYS_OK;
}

}  // namespace

csys_status csys_threadLocal_getBlock(csys_threadLocalBlock** block, int32_t create,
                                      csys_threadRecord* record) {
  if (block != nullptr) *block = nullptr;
  const bool created = slotCreated();
  const bool released = g_slotReleased.load(std::memory_order_acquire) != 0;
  if (create == 0 && (!created || released)) return CSYS_OK;
  CSYS_CHECK(!released);
  if (released) return CSYS_E_SHUT_DOWN;
  if (!created) CSYS_RETURN_IF_FAILED(csys_initializeOnce(allocSlot, nullptr, &g_slotOnce));
  void* value = nullptr;
  CSYS_RETURN_IF_FAILED(qzf_OSThreadLocalValueGet(g_slot, &value));
  if (create == 0 || value != nullptr) {
    if (block != nullptr) *block = static_cast<csys_threadLocalBlock*>(value);
    return CSYS_OK;
  }
  return createBlock(block, record);
}

csys_status csys_threadLocal_hasBlock(int32_t* hasBlock) {
  CSYS_CHECK(hasBlock != nullptr);
  if (hasBlock == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadLocalBlock* block = nullptr;
  const csys_status status = csys_threadLocal_getBlock(&block, 0, nullptr);
  *hasBlock = block != nullptr ? 1 : 0;
  return status;
}

csys_status csys_threadLocal_addCleanup(csys_threadCleanupFunc func, void* object) {
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_getBlock(&block, 1, nullptr));
  const int32_t index = block->cleanups.count;
  CSYS_RETURN_IF_FAILED(growTable(&block->cleanups, index + 1));
  block->cleanups.entries[index] =
      csys_cleanupEntry{0, kRunAlways | CSYS_CLEANUP_CALL_OBJ, object, func};
  return CSYS_OK;
}

csys_status csys_threadLocal_releaseBlock() {
  csys_threadLocalBlock* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_getBlock(&block, 0, nullptr));
  if (block == nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(runTable(&block->cleanups));
  CSYS_RETURN_IF_FAILED(runTable(&block->values));
  CSYS_RETURN_IF_FAILED(csys_thread_destruct(&block->thread));
  void* memory = block;
  const csys_status freed = csys_memory_free_internal(&memory);
  return csys_firstFailure(freed, clearSlot());
}

csys_status csys_threadLocal_releaseSlot() {
  csys_status status = CSYS_OK;
  if (slotCreated()) status = qzf_OSThreadLocalFree(g_slot);
  g_slotReleased.store(1, std::memory_order_release);
  return status;
}

extern "C" {

CSYS_API csys_status qzf_OSThreadLocalAlloc(uint32_t* index) {
  if (index == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const uint32_t allocated = os_tlsAlloc();
  if (allocated == OS_TLS_OUT_OF_INDEXES) return CSYS_E_OS;
  *index = allocated;
  return CSYS_OK;
}

CSYS_API csys_status qzf_OSThreadLocalFree(uint32_t index) {
  return os_tlsFree(index) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status qzf_OSThreadLocalValueGet(uint32_t index, void** value) {
  if (value == nullptr) return CSYS_E_INVALID_ARGUMENT;
  void* stored = os_tlsGetValue(index);
  if (stored == nullptr && os_getLastError() != OS_ERROR_SUCCESS) return CSYS_E_OS;
  *value = stored;
  return CSYS_OK;
}

CSYS_API csys_status qzf_OSThreadLocalValueSet(uint32_t index, void* value) {
  return os_tlsSetValue(index, value) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status csys_threadLocal_alloc(uint32_t* key, int32_t* onceFlag) {
  CSYS_CHECK(key != nullptr && onceFlag != nullptr);
  return csys_initializeOnce(allocKey, key, onceFlag);
}

CSYS_API csys_status csys_threadLocal_getValue(uint32_t key, uintptr_t* value) {
  CSYS_CHECK(value != nullptr);
  if (value == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (!isAllocatedKey(key)) {
    *value = 0;
    return CSYS_E_INVALID_ARGUMENT;
  }
  // The hot path: the slot read of csys_threadLocal_getBlock without its repeated checks (the
  // slot exists, since a key does).
  *value = 0;
  if (g_slotReleased.load(std::memory_order_acquire) != 0) return CSYS_OK;
  const auto* block = static_cast<const csys_threadLocalBlock*>(os_tlsGetValue(g_slot));
  if (block == nullptr) return os_getLastError() == OS_ERROR_SUCCESS ? CSYS_OK : CSYS_E_OS;
  if (static_cast<int32_t>(key) >= block->values.count) return CSYS_OK;
  const csys_cleanupEntry& entry = block->values.entries[key];
  const uint32_t kind = entry.flags & kCallKindMask;
  CSYS_CHECK(kind == 0 || kind == CSYS_CLEANUP_CALL_OBJ || kind == CSYS_CLEANUP_CALL_ENTRY);
  if (kind == CSYS_CLEANUP_CALL_OBJ || kind == CSYS_CLEANUP_CALL_ENTRY) {
    *value = reinterpret_cast<uintptr_t>(entry.object);
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_threadLocal_setValueObj(uint32_t key, uintptr_t value,
                                                  csys_threadLocalDestroyFunc destroy) {
  return setEntry(key, CSYS_CLEANUP_CALL_OBJ, value, destroy);
}

CSYS_API csys_status csys_threadLocal_setValuePtr(uint32_t key, uintptr_t value,
                                                  csys_status (*destroy)(void** value)) {
  return setEntry(key, CSYS_CLEANUP_CALL_ENTRY, value,
                  reinterpret_cast<csys_cleanupFunc>(reinterpret_cast<void (*)()>(destroy)));
}

}  // extern "C"
