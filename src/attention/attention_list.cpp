// The attention list: entries linked newest first behind a header of the same type, changed only
// under the owning thread record's lock. The `next` fields are stored atomically because the
// owning thread peeks at the header's without the lock to skip an empty list.
#include <atomic>

#include "attention/attention_internal.h"
#include "csys_atomic.h"
#include "csys_memory.h"
#include "diag/check.h"

namespace {

int32_t g_nextAttentionId = 0;  // the last id issued

void storeNext(csys_attentionEntry* entry, csys_attentionEntry* next) {
  std::atomic_ref<csys_attentionEntry*>(entry->next).store(next, std::memory_order_relaxed);
}

// Destructs the entry's data (which may release the tag data) and frees it; the first failure.
csys_status destroyEntry(csys_attentionEntry* entry) {
  const csys_status dropped = cstd_ptrh_destruct(&entry->data);
  void* block = entry;
  return csys_firstFailure(dropped, csys_memory_free_internal(&block));
}

}  // namespace

void csys_attention_setNextId(uint32_t value) {
  std::atomic_ref<int32_t>(g_nextAttentionId).store(static_cast<int32_t>(value));
}

csys_status csys_attentionList_newId(uint32_t* id) {
  int32_t value = 0;
  CSYS_RETURN_IF_FAILED(csys_atomicIncrement(&g_nextAttentionId, &value));
  // The "not attached" value is never issued.
  if (static_cast<uint32_t>(value) == CSYS_ATTENTION_NO_ID) {
    CSYS_RETURN_IF_FAILED(csys_atomicIncrement(&g_nextAttentionId, &value));
  }
  *id = static_cast<uint32_t>(value);
  CSYS_CHECK(*id != CSYS_ATTENTION_NO_ID);
  return CSYS_OK;
}

csys_status csys_attentionList_newEntry(const cstd_ptrh* data, csys_attentionCheckFunc check,
                                        uint32_t id, csys_attentionEntry** entry) {
  void* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_allocClear_internal(sizeof(csys_attentionEntry), &block));
  auto* made = static_cast<csys_attentionEntry*>(block);
  const csys_status copied = cstd_ptrh_constructCopy(&made->data, data);
  if (CSYS_FAILED(copied)) {
    csys_memory_free_internal(&block);
    return copied;
  }
  made->check = check;
  made->id = id;
  *entry = made;
  return CSYS_OK;
}

void csys_attentionList_linkFront(csys_attentionEntry* header, csys_attentionEntry* entry) {
  csys_attentionEntry* const first = header->next;
  entry->next = first;
  entry->prev = header;
  if (first != nullptr) first->prev = entry;
  storeNext(header, entry);
}

csys_status csys_attentionList_pushEntry(csys_attentionEntry* header, const cstd_ptrh* data,
                                         csys_attentionCheckFunc check, uint32_t* id) {
  CSYS_CHECK(header != nullptr && data != nullptr && id != nullptr);
  uint32_t newId = 0;
  CSYS_RETURN_IF_FAILED(csys_attentionList_newId(&newId));
  csys_attentionEntry* entry = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attentionList_newEntry(data, check, newId, &entry));
  csys_attentionList_linkFront(header, entry);
  *id = newId;
  return CSYS_OK;
}

csys_status csys_attentionList_unlinkEntry(csys_attentionEntry* entry) {
  if (entry->prev != nullptr) storeNext(entry->prev, entry->next);
  if (entry->next != nullptr) entry->next->prev = entry->prev;
  return destroyEntry(entry);
}

csys_status csys_attentionList_removeById(csys_attentionEntry* header, uint32_t id) {
  csys_attentionEntry* entry = header->next;
  while (entry != nullptr && entry->id != id) entry = entry->next;
  if (entry == nullptr) return CSYS_OK;
  if (entry->check != nullptr) return csys_attentionList_unlinkEntry(entry);
  // An opening marker: the group runs up to and including the closing marker of the same id.
  csys_status status = CSYS_OK;
  bool closed = false;
  for (bool first = true; entry != nullptr && !closed; first = false) {
    closed = !first && entry->id == id;
    csys_attentionEntry* const next = entry->next;
    csys_mergeStatus(&status, csys_attentionList_unlinkEntry(entry));
    entry = next;
  }
  return status;
}

csys_status csys_attentionList_evaluate(csys_attentionEntry* header, bool proxyLevel) {
  CSYS_CHECK(header != nullptr);
  if (header == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_status status = CSYS_OK;
  for (csys_attentionEntry* entry = header->next; entry != nullptr && !CSYS_FAILED(status);) {
    csys_attentionEntry* const next = entry->next;  // the entry may leave the list
    csys_attentionResult result{0, CSYS_OK};
    void* whole = nullptr;
    status = cstd_ptrh_getWholeShared(&entry->data, &whole);
    if (!CSYS_FAILED(status) && entry->check != nullptr) {
      status = entry->check(whole, &result);
      if (!CSYS_FAILED(status)) {
        // Another thread's entry stays for that thread's own next check to remove.
        if (result.done != 0 && !proxyLevel) status = csys_attentionList_unlinkEntry(entry);
        if (!CSYS_FAILED(status)) status = result.status;
      }
    }
    entry = next;
  }
  return status;
}
