// Proxies and cloned tags: how a computation spread over worker threads still obeys the tags of
// the thread that started it. Neither operation ever holds two record locks at once.
#include <utility>

#include "attention/attention_internal.h"
#include "cleanup/cleanup_internal.h"
#include "csys_memory.h"
#include "diag/check.h"

namespace {

// A clone of a built-in record expires at the same moment and continues the same count; a clone
// of a time-out keeps its source alive and marks it when it fires. Entries with a caller's own
// check share the caller's data instead: the library cannot copy it.
csys_status cloneData(const csys_attentionEntry* source, cstd_ptrh* clone) {
  void* whole = nullptr;
  CSYS_RETURN_IF_FAILED(cstd_ptrh_getWholeShared(&source->data, &whole));
  if (whole == nullptr || source->check != csys_attentionTagData_check) {
    return cstd_ptrh_assign(clone, &source->data);
  }
  auto* original = static_cast<csys_attentionTagData*>(whole);
  const csys_attentionTagParams params{original->kind,    original->status, original->deadline,
                                       original->seconds, original->limit,  original->counter};
  CleanupFrame<1> frame;
  cstd_ptrh made{nullptr};
  csys_attentionTagData* record = nullptr;
  if (frame.call(csys_attentionTagData_create(params, &made, &record))) {
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &made, cstd_ptrh_destruct);
    record->propagates = original->propagates;
    if (record->propagates == 0 ||
        frame.call(cstd_ptrh_assignShared(&record->parent, &original->shared))) {
      csys_attention_store(original->hasClones, 1);
      record->isClone = 1;
      frame.call(cstd_ptrh_assign(clone, &made));
    }
  }
  return frame.close();
}

// Clones every entry of the source list onto the front of `clones`, so that they stand there in
// the reverse of their source order. Runs under the source's lock.
csys_status cloneList(const csys_attentionEntry* source, csys_attentionEntry* clones) {
  for (const csys_attentionEntry* entry = source->next; entry != nullptr; entry = entry->next) {
    CleanupFrame<1> frame;
    cstd_ptrh data{nullptr};
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &data, cstd_ptrh_destruct);
    uint32_t id = 0;
    if (frame.call(cloneData(entry, &data))) {
      frame.call(csys_attentionList_pushEntry(clones, &data, entry->check, &id));
    }
    CSYS_RETURN_IF_FAILED(frame.close());
  }
  return CSYS_OK;
}

// Links the clones between two markers of one id in front of the destination's entries. Both
// markers are made before anything is linked, so a failure adds nothing.
csys_status spliceClones(csys_attentionEntry* destination, csys_attentionEntry* clones,
                         uint32_t* groupId) {
  const cstd_ptrh none{nullptr};
  uint32_t id = 0;
  csys_attentionEntry* closing = nullptr;
  csys_attentionEntry* opening = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attentionList_newId(&id));
  CSYS_RETURN_IF_FAILED(csys_attentionList_newEntry(&none, nullptr, id, &closing));
  const csys_status made = csys_attentionList_newEntry(&none, nullptr, id, &opening);
  if (CSYS_FAILED(made)) {
    void* block = closing;
    csys_memory_free_internal(&block);
    return made;
  }
  csys_attentionList_linkFront(destination, closing);
  csys_attentionEntry* first = clones->next;
  if (first != nullptr) {
    csys_attentionEntry* last = first;
    while (last->next != nullptr) last = last->next;
    clones->next = nullptr;
    // Linked back to front, each in front of the one after it.
    for (csys_attentionEntry* entry = last; entry != nullptr;) {
      csys_attentionEntry* const previous = entry->prev == clones ? nullptr : entry->prev;
      csys_attentionList_linkFront(destination, entry);
      entry = previous;
    }
  }
  csys_attentionList_linkFront(destination, opening);
  *groupId = id;
  return CSYS_OK;
}

// The temporary list of clones lives on the stack; whatever was not handed over is destroyed.
csys_status clearClones(csys_attentionEntry* clones) {
  csys_status status = CSYS_OK;
  while (clones->next != nullptr) {
    csys_mergeStatus(&status, csys_attentionList_unlinkEntry(clones->next));
  }
  return status;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_attentionBecomeProxyForThread(csys_thread* proxy, csys_thread* target) {
  csys_threadRecord* proxyRecord = nullptr;
  csys_threadRecord* targetRecord = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(proxy, &proxyRecord));
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(target, &targetRecord));
  // The new target is referenced before the lock and the old one released after it: dropping a
  // record's last reference under a lock would tear it down there.
  const bool becomes = proxyRecord != targetRecord;  // a proxy for itself is no proxy
  csys_thread swapped;
  CSYS_RETURN_IF_FAILED(csys_thread_construct(&swapped));
  csys_status status = CSYS_OK;
  if (becomes) {
    status = target != nullptr ? csys_thread_assign(&swapped, target)
                               : csys_thread_getCurrentThread(&swapped);
  }
  if (!CSYS_FAILED(status)) {
    // A proxy that stops gives its old target up too: two records standing in for each other
    // would otherwise keep each other forever.
    status = csys_attention_underLock(proxyRecord, [&] {
      csys_attention_store(proxyRecord->isProxy, 0);
      std::swap(swapped.handle, proxyRecord->proxyFor.handle);
      if (becomes) csys_attention_store(proxyRecord->isProxy, 1);
      return CSYS_OK;
    });
  }
  return csys_firstFailure(status, csys_thread_destruct(&swapped));
}

CSYS_API csys_status csys_attentionTag_attachClonesFromThread(csys_attentionTag* tag,
                                                              csys_thread* destination,
                                                              csys_thread* source) {
  CSYS_CHECK(tag != nullptr);
  if (tag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  tag->id = CSYS_ATTENTION_NO_ID;
  csys_threadRecord* destinationRecord = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(destination, &destinationRecord));
  CSYS_RETURN_IF_FAILED(destination != nullptr ? csys_thread_assign(&tag->thread, destination)
                                               : csys_thread_getCurrentThread(&tag->thread));
  if (destination == source) return CSYS_OK;
  csys_threadRecord* sourceRecord = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(source, &sourceRecord));
  if (sourceRecord == destinationRecord) return CSYS_OK;

  // Clones not handed over are destroyed on the way out. No frame: its close could fail after the
  // splice, when the group already stands in the destination.
  csys_attentionEntry clones{cstd_ptrh{nullptr}, nullptr, CSYS_ATTENTION_NO_ID, nullptr, nullptr};
  bool empty = false;
  // The source's lock is left before the destination's is taken.
  csys_status status = csys_attention_withList(sourceRecord, [&](csys_attentionEntry* list) {
    empty = list->next == nullptr;
    return cloneList(list, &clones);
  });
  uint32_t id = CSYS_ATTENTION_NO_ID;
  if (!CSYS_FAILED(status) && !empty) {
    status = csys_attention_withList(destinationRecord, [&](csys_attentionEntry* list) {
      return spliceClones(list, &clones, &id);
    });
  }
  if (!CSYS_FAILED(status)) tag->id = id;
  return csys_firstFailure(status, clearClones(&clones));
}

}  // extern "C"
