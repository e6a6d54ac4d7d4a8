// Work state on thread records. The words are written with atomic exchanges and read with
// relaxed loads (values a work manager polls, not a protocol); the two handles are the
// caller's to serialise.
#include <atomic>

#include "csys_thread_work.h"
#include "diag/check.h"
#include "thread/thread_record_internal.h"

namespace {

template <typename T>
T load(const T& word) {
  return std::atomic_ref<T>(const_cast<T&>(word)).load(std::memory_order_relaxed);
}

template <typename T>
void store(T& word, T value) {
  std::atomic_ref<T>(word).exchange(value);
}

uint32_t asFlag(uint32_t value) {
  return value != 0 ? 1u : 0u;
}

csys_status readWorkState(csys_threadRecord* record, uint32_t* useWorkManager,
                          uint32_t* isWorkerThread, int32_t* workerId, uint32_t* sequence,
                          cstd_ptrh* context) {
  *useWorkManager = load(record->useWorkManager);
  *isWorkerThread = load(record->isWorkerThread);
  if (workerId != nullptr) *workerId = load(record->workerId);
  if (sequence != nullptr) *sequence = std::atomic_ref<uint32_t>(record->workSequence) += 1u;
  return context != nullptr ? cstd_ptrh_assign(context, &record->workerContext) : CSYS_OK;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_thread_getWorkState(const csys_thread* thread, uint32_t* useWorkManager,
                                              uint32_t* isWorkerThread, int32_t* workerId,
                                              uint32_t* sequence, cstd_ptrh* context) {
  if (useWorkManager == nullptr || isWorkerThread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  return readWorkState(record, useWorkManager, isWorkerThread, workerId, sequence, context);
}

CSYS_API csys_status csys_threadGetCurrentThreadWorkState(uint32_t* useWorkManager,
                                                          uint32_t* isWorkerThread,
                                                          int32_t* workerId, uint32_t* sequence,
                                                          cstd_ptrh* context) {
  if (useWorkManager == nullptr || isWorkerThread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_getCurrentRecord(&record));
  return readWorkState(record, useWorkManager, isWorkerThread, workerId, sequence, context);
}

CSYS_API csys_status csys_thread_setIsWorkerThread(const csys_thread* thread, uint32_t isWorker,
                                                   int32_t workerId, const cstd_ptrh* context) {
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  store(record->isWorkerThread, asFlag(isWorker));
  if (isWorker == 0) {
    store(record->workerId, -1);
    return cstd_ptrh_assignShared(&record->workerContext, nullptr);
  }
  store(record->workerId, workerId);
  if (context == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return cstd_ptrh_assign(&record->workerContext, context);
}

CSYS_API csys_status csys_thread_setUseWorkManager(const csys_thread* thread, uint32_t use) {
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  store(record->useWorkManager, asFlag(use));
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_getUseWorkManager(const csys_thread* thread, uint32_t* use) {
  // A null out pointer is a programming error: reported, then refused without a write.
  CSYS_CHECK(use != nullptr);
  if (use == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  *use = load(record->useWorkManager);
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_setWorkThreadGroup(const csys_thread* thread,
                                                    const cstd_ptrh* group) {
  if (group == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  return cstd_ptrh_assign(&record->workThreadGroup, group);
}

CSYS_API csys_status csys_thread_getWorkThreadGroup(const csys_thread* thread, cstd_ptrh* group) {
  if (group == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  return cstd_ptrh_assign(group, &record->workThreadGroup);
}

}  // extern "C"
