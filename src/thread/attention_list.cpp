// Attention lists: the header entry a thread record owns and the entries linked behind it. The
// header's `next` is the first entry and the first entry's `prev` is the header, so unlinking
// any entry is the same two-pointer update.
#include "csys_memory.h"
#include "diag/check.h"
#include "thread/thread_record_internal.h"

namespace {

constexpr uint32_t kHeaderId = 0xFFFFFFFFu;

void initHeader(csys_attentionEntry* header) {
  header->data = cstd_ptrh{nullptr};
  header->check = nullptr;
  header->id = kHeaderId;
  header->prev = nullptr;
  header->next = nullptr;
}

}  // namespace

csys_status csys_attentionList_createOrReset(csys_attentionEntry** holder) {
  CSYS_CHECK(holder != nullptr);
  if (holder == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*holder != nullptr) return csys_attentionList_clear(*holder);
  void* header = nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_alloc_internal(sizeof(csys_attentionEntry), &header));
  *holder = static_cast<csys_attentionEntry*>(header);
  initHeader(*holder);
  return CSYS_OK;
}

csys_status csys_attentionList_clear(csys_attentionEntry* header) {
  CSYS_CHECK(header != nullptr);
  if (header == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_status status = CSYS_OK;
  csys_attentionEntry* entry = header->next;
  while (entry != nullptr) {
    csys_attentionEntry* next = entry->next;
    const csys_status dropped = cstd_ptrh_destruct(&entry->data);
    CSYS_CHECK(CSYS_SUCCEEDED(dropped));
    void* memory = entry;
    const csys_status freed = csys_memory_free_internal(&memory);
    CSYS_CHECK(CSYS_SUCCEEDED(freed));
    csys_mergeStatus(&status, csys_firstFailure(dropped, freed));
    entry = next;
  }
  initHeader(header);
  return status;
}

csys_status csys_attentionList_destroy(csys_attentionEntry** holder) {
  CSYS_CHECK(holder != nullptr);
  if (holder == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*holder == nullptr) return CSYS_OK;
  const csys_status cleared = csys_attentionList_clear(*holder);
  void* header = *holder;
  *holder = nullptr;
  return csys_firstFailure(cleared, csys_memory_free_internal(&header));
}
