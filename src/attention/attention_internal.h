// Attention internals shared by the tag, check and clone sources: the data record of the
// built-in kinds, the list operations and the guarded access to a thread record's list.
#pragma once

#include <atomic>
#include <cstdint>

#include "cstd_shared.h"
#include "csys_attention.h"
#include "diag/check.h"
#include "thread/thread_record_internal.h"

// The data record of the five built-in kinds, owned through its embedded shared block.
struct csys_attentionTagData {
  uint32_t kind;
  csys_status status;  // what the tag reports when it fires
  double deadline;     // raw system ticks; 0.0 due at once, +infinity never
  double seconds;      // the time-out or period, to re-arm periodic kinds
  uint32_t limit;
  uint32_t counter;
  uint32_t hasClones;  // written by cloners under the source's lock, read by firing clones
  uint32_t isClone;
  uint32_t propagates;
  uint32_t firedByClone;  // set across threads by an atomic exchange
  uint32_t honoursCloneFiring;
  cstd_ptrh parent;  // the record this clone was made from, when it propagates
  cstd_shared shared;
};

// The parameters a new tag data record starts from.
struct csys_attentionTagParams {
  uint32_t kind;
  csys_status status;
  double deadline;
  double seconds;
  uint32_t limit;
  uint32_t counter;
};

// Fields that other threads read or write outside the owning lock go through these.
inline uint32_t csys_attention_load(const uint32_t& field) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_acquire);
}
inline void csys_attention_store(uint32_t& field, uint32_t value) {
  std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}

// Allocates a record and hands the caller the first handle on it (`handle` must be empty); the
// record itself is returned for the clone's extra links.
csys_status csys_attentionTagData_create(const csys_attentionTagParams& params, cstd_ptrh* handle,
                                         csys_attentionTagData** record);
csys_status csys_attentionTagData_check(void* whole, csys_attentionResult* result);
csys_status csys_attention_computeDeadline(double seconds, double* deadline);
csys_status csys_attention_ticksPerSecond(double* ticksPerSecond);
void csys_attention_countCheck();

// List operations; the caller holds the owning record's lock (or owns the list alone).
csys_status csys_attentionList_newId(uint32_t* id);
csys_status csys_attentionList_newEntry(const cstd_ptrh* data, csys_attentionCheckFunc check,
                                        uint32_t id, csys_attentionEntry** entry);
void csys_attentionList_linkFront(csys_attentionEntry* header, csys_attentionEntry* entry);
csys_status csys_attentionList_pushEntry(csys_attentionEntry* header, const cstd_ptrh* data,
                                         csys_attentionCheckFunc check, uint32_t* id);
csys_status csys_attentionList_unlinkEntry(csys_attentionEntry* entry);
csys_status csys_attentionList_removeById(csys_attentionEntry* header, uint32_t id);
csys_status csys_attentionList_evaluate(csys_attentionEntry* header, bool proxyLevel);
// The first entry, read without the lock by the list's own thread.
inline csys_attentionEntry* csys_attentionList_first(csys_attentionEntry* header) {
  return std::atomic_ref<csys_attentionEntry*>(header->next).load(std::memory_order_relaxed);
}

// The record of a thread argument (null: the calling thread); an empty handle gives
// CSYS_E_NO_THREAD_RECORD.
csys_status csys_attention_findRecord(csys_thread* thread, csys_threadRecord** record);

// Runs `body()` under the record's lock, which is left on the one way out (also when the wait
// acquired it but reported a failure). No cleanup frame here: closing one may fail after the
// body committed its change, and the caller would see a failure for a change that stands.
template <typename Body>
csys_status csys_attention_underLock(csys_threadRecord* record, Body body) {
  int32_t acquired = 0;
  csys_status status = csys_criticalSection2_wait(&record->lock, &acquired);
  if (!CSYS_FAILED(status)) status = body();
  if (acquired != 0) csys_mergeStatus(&status, csys_criticalSection2_release(&record->lock));
  return status;
}

// Runs `body(list)` under the record's lock once the record is known to still have its list; a
// finished thread gives CSYS_E_THREAD_ENDED. The state is read under the lock, so an operation
// racing with the thread's end either completes before the end destroys the list or is refused.
template <typename Body>
csys_status csys_attention_withList(csys_threadRecord* record, Body body) {
  return csys_attention_underLock(record, [&] {
    return csys_thread_isFinished(record) || record->attention == nullptr ? CSYS_E_THREAD_ENDED
                                                                          : body(record->attention);
  });
}

// Test seam: the source of entry ids.
void csys_attention_setNextId(uint32_t value);
