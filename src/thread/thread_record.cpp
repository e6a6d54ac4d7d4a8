// Thread records and the handles that count references on them. A record is torn down by the
// handle that drops its last reference, in whichever thread that happens; no lock is needed
// then, since no other handle exists.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "cleanup/resource_tracking_internal.h"
#include "csys_memory.h"
#include "diag/check.h"
#include "diag/type_checks.h"
#include "thread/thread_record_internal.h"

namespace {

csys_status destroyRecord(void** object);

csys_status dropWorkerContext(void* record) {
  return cstd_ptrh_destruct(&static_cast<csys_threadRecord*>(record)->workerContext);
}

csys_status dropWorkThreadGroup(void* record) {
  return cstd_ptrh_destruct(&static_cast<csys_threadRecord*>(record)->workThreadGroup);
}

csys_status dropProxyFor(void* record) {
  return csys_thread_destruct(&static_cast<csys_threadRecord*>(record)->proxyFor);
}

csys_status destructLock(void* record) {
  return csys_criticalSection2_destruct(&static_cast<csys_threadRecord*>(record)->lock);
}

csys_status closeOSHandles(csys_threadRecord* record) {
  bool closed = true;
  for (os_handle* handle : {&record->osHandle, &record->spareSemaphore, &record->startedSemaphore,
                            &record->finishedSemaphore}) {
    if (*handle != nullptr) {
      closed = os_closeHandle(*handle) && closed;
      *handle = nullptr;
    }
  }
  return closed ? CSYS_OK : CSYS_E_OS;
}

csys_status initRecordOS(csys_threadRecord* record, uint32_t currentThread) {
  record->osHandle = nullptr;
  record->osThreadId = CSYS_THREAD_ID_UNKNOWN;
  if (currentThread != 0) {
    record->osHandle = os_duplicateCurrentThread();
    CSYS_CHECK(record->osHandle != nullptr);
    if (record->osHandle == nullptr) return CSYS_E_OS;
    record->osThreadId = os_getCurrentThreadId();
  }
  record->spareSemaphore = os_createSemaphore(0, 1, nullptr);
  record->finishedSemaphore = os_createSemaphore(0, 1, nullptr);
  record->startedSemaphore = os_createSemaphore(0, 1, nullptr);
  if (record->spareSemaphore == nullptr || record->finishedSemaphore == nullptr ||
      record->startedSemaphore == nullptr) {
    closeOSHandles(record);
    return CSYS_E_OS;
  }
  return CSYS_OK;
}

csys_status initRecord(csys_threadRecord* record, uint32_t currentThread) {
  CSYS_CHECK(record != nullptr);
  CSYS_RETURN_IF_FAILED(csys_resourceTracking_ensure());
  // The memory comes zero-filled: the OS handles are null until initRecordOS.
  record->rep = qzsfRepBase{destroyRecord, 0, record};
  record->finished = 0;
  record->attention = nullptr;
  record->isProxy = 0;
  record->useWorkManager = 1;
  record->isWorkerThread = 0;
  record->workerId = -1;
  record->workSequence = 0;
  constexpr uint32_t kOnFailure = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE;
  CleanupFrame<6> frame;
  if (frame.call(cstd_ptrh_construct(&record->workerContext, nullptr))) {
    frame.add(kOnFailure, record, dropWorkerContext);
    if (frame.call(cstd_ptrh_construct(&record->workThreadGroup, nullptr))) {
      frame.add(kOnFailure, record, dropWorkThreadGroup);
      if (frame.call(csys_thread_construct(&record->proxyFor))) {
        frame.add(kOnFailure, record, dropProxyFor);
        if (frame.call(csys_criticalSection2_construct(&record->lock))) {
          frame.add(kOnFailure, record, destructLock);
          if (frame.call(csys_attentionList_createOrReset(&record->attention))) {
            frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &record->attention,
                      csys_attentionList_destroy);
            if (frame.call(initRecordOS(record, currentThread))) {
              frame.add(kOnFailure, record, closeOSHandles);
            }
          }
        }
      }
    }
  }
  return frame.close();
}

// Stops at the first failure: the record's memory is then kept.
csys_status deinitRecord(void* object) {
  auto* record = static_cast<csys_threadRecord*>(object);
  CSYS_RETURN_IF_FAILED(csys_attentionList_destroy(&record->attention));
  CSYS_RETURN_IF_FAILED(destructLock(record));
  CSYS_RETURN_IF_FAILED(dropWorkerContext(record));
  CSYS_RETURN_IF_FAILED(dropWorkThreadGroup(record));
  CSYS_RETURN_IF_FAILED(dropProxyFor(record));
  return closeOSHandles(record);
}

csys_status destroyRecord(void** object) {
  CSYS_CHECK(object != nullptr);
  if (object == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*object == nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(deinitRecord(*object));
  return csys_memory_free_internal(object);
}

}  // namespace

csys_status csys_thread_createRecord(csys_thread* thread, uint32_t currentThread) {
  CSYS_CHECK(thread != nullptr);
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  constexpr uint32_t kOnFailure = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE;
  CleanupFrame<2> frame;
  void* memory = nullptr;
  if (frame.call(csys_memory_allocClear_internal(sizeof(csys_threadRecord), &memory))) {
    frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &memory,
              csys_memory_free_internal);
    auto* record = static_cast<csys_threadRecord*>(memory);
    if (frame.call(initRecord(record, currentThread))) {
      frame.add(kOnFailure, record, deinitRecord);
      if (frame.call(qzsfPtrHandle_Construct(&thread->handle, &record->rep))) {
        // The handle owns the record now: dropping it destroys the record.
        frame.releaseNewest(false);
        frame.releaseNewest(false);
        frame.add(kOnFailure, thread, csys_thread_destruct);
      }
    }
  }
  return frame.close();
}

csys_status csys_thread_getRecord(const csys_thread* thread, csys_threadRecord** record) {
  CSYS_CHECK(thread != nullptr && record != nullptr);
  if (thread == nullptr || record == nullptr) return CSYS_E_INVALID_ARGUMENT;
  void* object = nullptr;
  const csys_status status = qzsfPtrHandle_RepObjGet(&thread->handle, &object);
  *record = static_cast<csys_threadRecord*>(object);
  return status;
}

csys_status csys_thread_requireRecord(const csys_thread* thread, csys_threadRecord** record) {
  if (thread == nullptr || record == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(csys_thread_getRecord(thread, record));
  return *record == nullptr ? CSYS_E_NO_THREAD_RECORD : CSYS_OK;
}

bool csys_thread_isFinished(const csys_threadRecord* record) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(record->finished))
             .load(std::memory_order_acquire) != 0;
}

os_handle csys_thread_loadOSHandle(const csys_threadRecord* record) {
  return std::atomic_ref<os_handle>(const_cast<os_handle&>(record->osHandle))
      .load(std::memory_order_acquire);
}

uint32_t csys_thread_loadOSThreadId(const csys_threadRecord* record) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(record->osThreadId))
      .load(std::memory_order_acquire);
}

CSYS_DEFINE_TYPE_CHECKS(csys_thread)

extern "C" {

CSYS_API csys_status csys_thread_construct(csys_thread* thread) {
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return qzsfPtrHandle_Construct(&thread->handle, nullptr);
}

CSYS_API csys_status csys_thread_destruct(csys_thread* thread) {
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return qzsfPtrHandle_Destruct(&thread->handle);
}

CSYS_API csys_status csys_thread_constructCopy(csys_thread* thread, const csys_thread* source) {
  if (thread == nullptr || source == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return qzsfPtrHandle_ConstructCopy(&thread->handle, &source->handle);
}

CSYS_API csys_status csys_thread_assign(csys_thread* thread, const csys_thread* source) {
  if (thread == nullptr || source == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return qzsfPtrHandle_Assign(&thread->handle, &source->handle);
}

CSYS_API csys_status csys_thread_delete(csys_thread** thread) {
  CSYS_CHECK(thread != nullptr);
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*thread == nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(csys_thread_destruct(*thread));
  void* memory = *thread;
  const csys_status freed = csys_memory_free_internal(&memory);
  *thread = nullptr;
  return freed;
}

CSYS_API csys_status csys_thread_new(csys_thread** thread) {
  CSYS_CHECK(thread != nullptr);
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(csys_thread_delete(thread));
  CleanupFrame<1> frame;
  void* memory = nullptr;
  if (frame.call(csys_memory_alloc_internal(sizeof(csys_thread), &memory))) {
    frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &memory,
              csys_memory_free_internal);
    frame.call(csys_thread_construct(static_cast<csys_thread*>(memory)));
  }
  const csys_status status = frame.close();
  if (CSYS_SUCCEEDED(status)) *thread = static_cast<csys_thread*>(memory);
  return status;
}

CSYS_API csys_status csys_thread_compare(const csys_thread* a, const csys_thread* b,
                                         int32_t* result) {
  if (a == nullptr || b == nullptr || result == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const auto left = reinterpret_cast<uintptr_t>(a->handle.rep);
  const auto right = reinterpret_cast<uintptr_t>(b->handle.rep);
  *result = left == right ? 0 : (left < right ? -1 : 1);
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_getOSIdentifier(const csys_thread* thread, uint32_t* id) {
  if (id == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  *id = csys_thread_loadOSThreadId(record);
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_getOSHandle(const csys_thread* thread, void** osHandle) {
  if (osHandle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  *osHandle = csys_thread_loadOSHandle(record);
  return CSYS_OK;
}

}  // extern "C"
