// Starting threads under the library's discipline and waiting for their end. A new thread is
// bound to its record before the caller's function runs and ends through the thread cleanup;
// from the creator's postponement to the thread's own, shutdown waits for it.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "cleanup/shutdown_internal.h"
#include "csys_shutdown.h"
#include "diag/check.h"
#include "thread/thread_local_internal.h"
#include "thread/thread_record_internal.h"

namespace {

// What waitForTermination gives a thread to leave after its cleanup signalled the end.
constexpr uint32_t kLeaveMilliseconds = 200;

csys_status deleteHandle(void** thread) {
  return csys_thread_delete(reinterpret_cast<csys_thread**>(thread));
}

csys_status dropHandle(void* thread) {
  return csys_thread_destruct(static_cast<csys_thread*>(thread));
}

// The new thread's own steps up to the caller's function; every failure path deletes the heap
// handle and balances the postponements.
csys_status runThread(csys_thread* heapHandle) {
  CSYS_CHECK(heapHandle != nullptr);
  csys_threadRecord* record = nullptr;
  csys_status status = csys_thread_requireRecord(heapHandle, &record);
  if (CSYS_SUCCEEDED(status)) status = csys_threadLocal_getBlock(nullptr, 1, record);
  if (CSYS_FAILED(status)) {
    csys_shutdownPostponementDecrement();
    csys_thread_delete(&heapHandle);
    return status;
  }
  // The creator's postponement: the thread's own block holds one now.
  status = csys_shutdownPostponementDecrement();
  if (CSYS_FAILED(status)) {
    csys_thread_delete(&heapHandle);
    return status;
  }
  if (record->startedSemaphore != nullptr &&
      !os_releaseSemaphore(record->startedSemaphore, 1, nullptr)) {
    csys_thread_delete(&heapHandle);
    csys_thread_cleanup();
    return CSYS_E_OS;
  }
  if (record->params.priority != CSYS_THREAD_PRIORITY_FROM_CREATOR) {
    csys_thread_setCurrentPriority(record->params.priority);
  }
  status = csys_thread_delete(&heapHandle);
  if (CSYS_FAILED(status)) {
    csys_thread_cleanup();
    return status;
  }
  record->entry(record->entryArg);
  return csys_thread_cleanup();
}

csys_status threadMain(csys_thread* heapHandle) {
  const csys_status status = runThread(heapHandle);
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  return CSYS_OK;
}

uint32_t osEntry(void* argument) {
  auto* heapHandle = static_cast<csys_thread*>(argument);
  csys_threadRecord* record = nullptr;
  csys_thread_getRecord(heapHandle, &record);
  CSYS_CHECK(record != nullptr);
  if (record != nullptr) record->main(heapHandle);
  return 0;
}

// Hands *heapHandle to a new thread; on failure deletes it. Either way it is no longer the
// caller's.
csys_status startOS(csys_thread** heapHandle) {
  csys_threadRecord* record = nullptr;
  csys_status status = csys_thread_requireRecord(*heapHandle, &record);
  os_handle thread = nullptr;
  uint32_t id = CSYS_THREAD_ID_UNKNOWN;
  if (CSYS_SUCCEEDED(status)) {
    const uint32_t stackSize =
        record->params.stackSize == CSYS_THREAD_STACK_DEFAULT ? 0 : record->params.stackSize;
    thread = os_beginThread(stackSize, osEntry, *heapHandle, &id);
    if (thread == nullptr) status = CSYS_E_THREAD_NOT_STARTED;
  }
  if (CSYS_FAILED(status)) {
    csys_thread_delete(heapHandle);
    return status;
  }
  *heapHandle = nullptr;
  std::atomic_ref<uint32_t>(record->osThreadId).store(id, std::memory_order_release);
  std::atomic_ref<os_handle>(record->osHandle).store(thread, std::memory_order_release);
  return CSYS_OK;
}

// Fills the new record and starts its thread; `local` keeps the record alive meanwhile.
csys_status prepareAndStart(csys_thread* local, csys_thread** heapHandle, csys_threadFunc func,
                            void* argument, const csys_threadCreateParams* params) {
  CSYS_RETURN_IF_FAILED(csys_thread_assign(*heapHandle, local));
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_getRecord(local, &record));
  CSYS_CHECK(record != nullptr);
  if (params == nullptr) {
    CSYS_RETURN_IF_FAILED(csys_threadCreateParams_init(&record->params));
  } else {
    record->params = *params;
  }
  if (record->params.priority == CSYS_THREAD_PRIORITY_FROM_CREATOR) {
    CSYS_RETURN_IF_FAILED(csys_thread_getCurrentPriority(&record->params.priority));
  }
  record->main = threadMain;
  record->entry = func;
  record->entryArg = argument;
  CSYS_RETURN_IF_FAILED(csys_shutdownPostponementIncrement());
  const csys_status started = startOS(heapHandle);
  if (CSYS_FAILED(started)) csys_shutdownPostponementDecrement();
  return started;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_threadCreateParams_init(csys_threadCreateParams* params) {
  if (params == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *params = csys_threadCreateParams{CSYS_THREAD_PRIORITY_FROM_CREATOR, CSYS_THREAD_STACK_DEFAULT,
                                    nullptr};
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_create(csys_threadFunc func, void* argument,
                                        const csys_threadCreateParams* params, csys_thread* out) {
  CSYS_CHECK(func != nullptr);
  if (func == nullptr) return CSYS_E_INVALID_ARGUMENT;
  int32_t requested = 0;
  CSYS_RETURN_IF_FAILED(csys_shutdown_getIsRequested(&requested));
  if (requested != 0) return CSYS_E_THREAD_NOT_STARTED;
  CleanupFrame<2> frame;
  csys_thread* heapHandle = nullptr;
  csys_thread local{};
  if (frame.call(csys_thread_new(&heapHandle))) {
    frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &heapHandle, deleteHandle);
    if (frame.call(csys_thread_construct(&local)) &&
        frame.call(csys_thread_createRecord(&local, 0))) {
      frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &local, dropHandle);
      // The thread is running once this succeeds, whatever happens to the out handle.
      if (frame.call(prepareAndStart(&local, &heapHandle, func, argument, params)) &&
          out != nullptr) {
        frame.call(csys_thread_assign(out, &local));
      }
    }
  }
  return frame.close();
}

CSYS_API csys_status csys_thread_waitForTermination(const csys_thread* thread) {
  CSYS_CHECK(thread != nullptr);
  if (thread == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, &record));
  const os_handle osThread = csys_thread_loadOSHandle(record);
  if (osThread == nullptr) return CSYS_OK;
  // Whichever comes first: the thread cleanup's signal or the thread's own end (a thread that
  // never ran the cleanup).
  const os_handle objects[2] = {record->finishedSemaphore, osThread};
  if (os_waitForAnyObject(2, objects, OS_INFINITE) == OS_WAIT_OBJECT_0) {
    // Passed on, so that every other and every later waiter sees it too.
    os_releaseSemaphore(record->finishedSemaphore, 1, nullptr);
  }
  os_waitForSingleObject(osThread, kLeaveMilliseconds);
  return CSYS_OK;
}

CSYS_API csys_status csys_thread_notifyCreate(void) {
  return csys_threadLocal_getBlock(nullptr, 1, nullptr);
}

CSYS_API csys_status csys_thread_getInitialThreadPriority(int32_t kind, int32_t* priority) {
  if (priority == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *priority = -999;
  switch (kind) {
    case 0:
      *priority = 4;
      return CSYS_OK;
    case 1:
      *priority = 7;
      return CSYS_OK;
    case 6:
      *priority = 6;
      return CSYS_OK;
    case -2:
    case -1:
    case 2:
    case 3:
    case 4:
    case 5:
      *priority = CSYS_THREAD_PRIORITY_FROM_CREATOR;
      return CSYS_OK;
    default:
      CSYS_CHECK(false);
      return CSYS_E_UNKNOWN_THREAD_KIND;
  }
}

}  // extern "C"
