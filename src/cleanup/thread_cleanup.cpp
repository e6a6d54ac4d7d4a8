// Cleanups that run when a thread ends: the thread's own ones live in its per-thread block;
// those registered for another thread wait in one process-wide list under the shutdown
// registry's lock until that thread runs csys_thread_cleanup.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "cleanup/shutdown_internal.h"
#include "csys_memory.h"
#include "csys_shutdown.h"
#include "diag/check.h"
#include "thread/thread_local_internal.h"
#include "thread/thread_record_internal.h"

namespace {

struct OtherThreadCleanup {
  csys_thread thread;
  csys_threadCleanupFunc func;  // null once run
  void* arg;
};

// The list is changed under the registry lock; the counts are atomic.
OtherThreadCleanup* g_others = nullptr;
int32_t g_registered = 0;
std::atomic<int32_t> g_pending{0};

csys_status dropThread(void* thread) {
  return csys_thread_destruct(static_cast<csys_thread*>(thread));
}

struct Registration {
  const csys_thread* thread;
  csys_threadCleanupFunc func;
  void* arg;
};

csys_status appendOther(void* context) {
  const auto& registration = *static_cast<Registration*>(context);
  if (csys_shutdown_isDone()) return CSYS_E_SHUT_DOWN;
  void* list = g_others;
  CSYS_RETURN_IF_FAILED(csys_memory_realloc_internal(
      static_cast<intptr_t>((g_registered + 1) * sizeof(OtherThreadCleanup)), &list));
  g_others = static_cast<OtherThreadCleanup*>(list);
  OtherThreadCleanup& added = g_others[g_registered];
  CSYS_RETURN_IF_FAILED(csys_thread_constructCopy(&added.thread, registration.thread));
  added.func = registration.func;
  added.arg = registration.arg;
  std::atomic_ref<int32_t>(g_registered).fetch_add(1);
  g_pending.fetch_add(1);
  return CSYS_OK;
}

struct Ending {
  csys_thread* current;
  csys_status status;  // of the registered functions and the list's upkeep
};

// Runs, newest first, what was registered for the ending thread; frees the list once nothing is
// pending.
csys_status runOthersFor(void* context) {
  auto& ending = *static_cast<Ending*>(context);
  const csys_thread* current = ending.current;
  csys_status& status = ending.status;
  for (int32_t i = g_registered - 1; i >= 0; --i) {
    OtherThreadCleanup& other = g_others[i];
    if (other.func == nullptr) continue;
    int32_t difference = 1;
    csys_mergeStatus(&status, csys_thread_compare(&other.thread, current, &difference));
    if (difference != 0) continue;
    csys_mergeStatus(&status, other.func(other.arg));
    const int32_t pending = g_pending.fetch_sub(1) - 1;
    other.func = nullptr;
    other.arg = nullptr;
    csys_mergeStatus(&status, csys_thread_destruct(&other.thread));
    if (pending == 0) {
      std::atomic_ref<int32_t>(g_registered).store(0);
      break;
    }
  }
  if (g_registered == 0) {
    void* list = g_others;
    g_others = nullptr;
    csys_mergeStatus(&status, csys_memory_free_internal(&list));
    g_pending.store(0);
  }
  return CSYS_OK;
}

csys_status endCurrentRecord(csys_threadRecord* record) {
  std::atomic_ref<uint32_t>(record->finished).store(1, std::memory_order_release);
  int32_t acquired = 0;
  csys_status status = csys_criticalSection2_wait(&record->lock, &acquired);
  if (CSYS_SUCCEEDED(status)) {
    csys_mergeStatus(&status, csys_attentionList_destroy(&record->attention));
    csys_mergeStatus(&status, csys_criticalSection2_release(&record->lock));
  }
  if (record->finishedSemaphore != nullptr &&
      !os_releaseSemaphore(record->finishedSemaphore, 1, nullptr)) {
    csys_mergeStatus(&status, CSYS_E_OS);
  }
  return status;
}

// The calling thread's end, minus its postponement: other threads' registrations for it, its
// own block, then the record's end signal.
csys_status runCurrent() {
  CleanupFrame<1> frame{UntrackedFrame{}};
  csys_thread current{};
  csys_threadRecord* record = nullptr;
  if (frame.call(csys_thread_constructCurrent(&current))) {
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &current, dropThread);
    if (frame.call(csys_thread_getRecord(&current, &record))) {
      CSYS_CHECK(record != nullptr);
      // Only a failure to take the registry lock stops the steps that follow.
      Ending ending{&current, CSYS_OK};
      if (frame.call(csys_shutdown_withLock(runOthersFor, &ending))) {
        frame.call(ending.status);
        frame.call(csys_threadLocal_releaseBlock());
        if (record != nullptr) frame.call(endCurrentRecord(record));
      }
    }
  }
  return frame.close();
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_thread_cleanup_register(csys_threadCleanupFunc func, void* arg) {
  return csys_threadLocal_addCleanup(func, arg);
}

CSYS_API csys_status csys_thread_cleanup_registerOther(const csys_thread* thread,
                                                       csys_threadCleanupFunc func, void* arg) {
  if (csys_shutdown_isDone()) return CSYS_E_SHUT_DOWN;
  int32_t difference = 0;
  if (thread != nullptr) {
    csys_thread current{};
    CSYS_RETURN_IF_FAILED(csys_thread_constructCurrent(&current));
    const csys_status compared = csys_thread_compare(&current, thread, &difference);
    CSYS_RETURN_IF_FAILED(csys_firstFailure(compared, csys_thread_destruct(&current)));
  }
  if (difference == 0) return csys_thread_cleanup_register(func, arg);
  Registration registration{thread, func, arg};
  return csys_shutdown_withLock(appendOther, &registration);
}

CSYS_API csys_status csys_thread_cleanup(void) {
  int32_t hasBlock = 0;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_hasBlock(&hasBlock));
  if (hasBlock == 0) return CSYS_OK;
  const csys_status ended = runCurrent();
  const csys_status returned = csys_shutdownPostponementDecrement();
  const csys_status status = csys_firstFailure(ended, returned);
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  return status;
}

}  // extern "C"
