// The API mutex. Every decision is made under `lock` in one pass: a caller that finds the lock
// owned queues its node (on its own stack) in priority order, raises the owner when it is the
// most urgent waiter, and sleeps on its own semaphore outside `lock`; a woken waiter runs
// another pass and competes again. Unlock wakes only the first waiter and restores the former
// owner's priority outside `lock`.
#include "cleanup/cleanup_internal.h"
#include "csys_apiMutex.h"
#include "thread/thread_record_internal.h"

namespace {

const csys_thread kNoThread{};

// The frames are not tracked: a lock and unlock pair should not pay two tag logs under the
// cleanup-tracking lock.
constexpr UntrackedFrame kUntracked{};

template <typename T, csys_status (*Func)(T*)>
csys_status onObject(void* object) {
  return Func(static_cast<T*>(object));
}

bool same(const csys_thread* a, const csys_thread* b, csys_status* status) {
  int32_t order = 1;
  *status = csys_thread_compare(a, b, &order);
  return CSYS_SUCCEEDED(*status) && order == 0;
}

void insert(csys_apiMutex* am, csys_apiMutexWaiter* node) {
  csys_apiMutexWaiter* at = am->queue;
  if (at == nullptr) {
    am->queue = node;
    return;
  }
  while (at->priority >= node->priority && at->next != nullptr) at = at->next;
  if (at->priority >= node->priority) {
    at->next = node;
    node->prev = at;
    return;
  }
  node->next = at;
  node->prev = at->prev;
  if (at->prev != nullptr) {
    at->prev->next = node;
  } else {
    am->queue = node;
  }
  at->prev = node;
}

void unlink(csys_apiMutex* am, csys_apiMutexWaiter* node) {
  if (node->prev != nullptr) {
    node->prev->next = node->next;
  } else {
    am->queue = node->next;
  }
  if (node->next != nullptr) node->next->prev = node->prev;
  node->next = node->prev = nullptr;
}

// A caller's place in the queue across passes.
struct Waiting {
  csys_apiMutex* am;
  csys_apiMutexWaiter node;
  bool queued;
};

// Leaves the queue (under `lock`) and drops the wake-up semaphore.
csys_status leaveQueue(void* object) {
  auto* w = static_cast<Waiting*>(object);
  if (!w->queued) return CSYS_OK;
  unlink(w->am, &w->node);
  w->queued = false;
  return csys_semaphore_destruct(&w->node.wakeup);
}

csys_status joinQueue(Waiting* w, int32_t priority) {
  w->node.next = w->node.prev = nullptr;
  w->node.priority = priority;
  CSYS_RETURN_IF_FAILED(csys_semaphore_construct(&w->node.wakeup, 0, 1));
  insert(w->am, &w->node);
  w->queued = true;
  return CSYS_OK;
}

// One pass under `lock`: the caller ends it owning the lock, or queued, or with a failure (and
// then no longer queued).
csys_status pass(Waiting* w) {
  csys_apiMutex* am = w->am;
  constexpr uint32_t kAlways = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS;
  CleanupFrame<3> frame(kUntracked);
  int32_t acquired = 0;
  if (!frame.call(csys_mutex_wait(&am->lock, &acquired))) return frame.close();
  frame.add(kAlways, &am->lock, onObject<csys_mutex, csys_mutex_unlock>);
  if (w->queued) frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, w, leaveQueue);
  csys_thread self{};
  if (!frame.call(csys_thread_constructCurrent(&self))) return frame.close();
  frame.add(kAlways, &self, onObject<csys_thread, csys_thread_destruct>);
  csys_status status = CSYS_OK;
  if (same(&self, &am->owner, &status)) {
    ++am->count;
    return frame.close();
  }
  // The caller's own priority needs no handle: a thread just started may run before its
  // creator has stored the handle in its record.
  const int32_t priority = os_getCurrentThreadPriority();
  if (!frame.call(status) ||
      !frame.call(priority != OS_THREAD_PRIORITY_ERROR_RETURN ? CSYS_OK : CSYS_E_OS)) {
    return frame.close();
  }
  if (same(&am->owner, &kNoThread, &status)) {
    if (frame.call(status) && frame.call(leaveQueue(w)) &&
        frame.call(csys_thread_assign(&am->owner, &self))) {
      am->basePriority = am->boostedPriority = priority;
      am->count = 1;
    }
    return frame.close();
  }
  if (!frame.call(status)) return frame.close();
  if (!w->queued) {
    if (!frame.call(joinQueue(w, priority))) return frame.close();
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, w, leaveQueue);
  }
  // Raising is best effort: the waiter asked for the lock, not for the raise. A refused raise
  // (an owner just started, whose handle its creator has not stored yet) leaves boostedPriority
  // as it was, so the waiter's next pass tries again.
  if (am->queue == &w->node && am->boostedPriority < priority &&
      CSYS_SUCCEEDED(csys_thread_setOSPriority(&am->owner, priority))) {
    am->boostedPriority = priority;
  }
  return frame.close();
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_apiMutex_construct(csys_apiMutex* am, int32_t lockNow, uintptr_t arg) {
  CSYS_CHECK(am != nullptr);
  if (am == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CleanupFrame<1> frame(kUntracked);
  int32_t owned = 0;
  if (frame.call(csys_mutex_construct(&am->lock, 0, &owned))) {
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, &am->lock,
              onObject<csys_mutex, csys_mutex_destruct>);
    frame.call(csys_thread_construct(&am->owner));
  }
  am->queue = nullptr;
  am->count = 0;
  am->basePriority = am->boostedPriority = -1;
  const csys_status status = frame.close();
  if (CSYS_FAILED(status) || lockNow == 0) return status;
  // A construction that cannot take the lock it was asked for leaves nothing constructed.
  const csys_status locked = csys_apiMutex_wait(am, arg);
  if (CSYS_FAILED(locked)) csys_apiMutex_destruct(am);
  return locked;
}

CSYS_API csys_status csys_apiMutex_destruct(csys_apiMutex* am) {
  if (am == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const csys_status lock = csys_mutex_destruct(&am->lock);
  return csys_firstFailure(lock, csys_thread_destruct(&am->owner));
}

CSYS_API csys_status csys_apiMutex_wait(csys_apiMutex* am, uintptr_t) {
  if (am == nullptr) return CSYS_E_INVALID_ARGUMENT;
  Waiting w{am, {}, false};
  for (;;) {
    const csys_status status = pass(&w);
    if (CSYS_FAILED(status) || !w.queued) return status;
    int32_t acquired = 0;
    const csys_status slept = csys_semaphore_wait(&w.node.wakeup, &acquired);
    if (CSYS_FAILED(slept)) {
      // No node of a departed caller may stay queued.
      CSYS_RETURN_IF_FAILED(csys_mutex_wait(&am->lock, &acquired));
      const csys_status left = leaveQueue(&w);
      return csys_firstFailure(slept, csys_firstFailure(left, csys_mutex_unlock(&am->lock)));
    }
  }
}

CSYS_API csys_status csys_apiMutex_unlock(csys_apiMutex* am) {
  if (am == nullptr) return CSYS_E_INVALID_ARGUMENT;
  constexpr uint32_t kAlways = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS;
  csys_thread self{};
  bool released = false;
  int32_t basePriority = -1;
  CleanupFrame<2> frame(kUntracked);
  int32_t acquired = 0;
  if (frame.call(csys_thread_constructCurrent(&self))) {
    frame.add(kAlways, &self, onObject<csys_thread, csys_thread_destruct>);
    if (frame.call(csys_mutex_wait(&am->lock, &acquired))) {
      frame.add(kAlways, &am->lock, onObject<csys_mutex, csys_mutex_unlock>);
      csys_status compared = CSYS_OK;
      const bool owner = same(&self, &am->owner, &compared);
      if (frame.call(compared) && frame.call(owner ? CSYS_OK : CSYS_E_OS) && --am->count == 0 &&
          frame.call(csys_thread_assign(&am->owner, &kNoThread))) {
        released = true;
        basePriority = am->basePriority;
        am->basePriority = am->boostedPriority = -1;
        if (am->queue != nullptr) {
          // A wake-up still pending from an earlier unlock is taken back first, so that the two
          // merge instead of the second being refused at the semaphore's maximum.
          frame.call(csys_semaphore_waitTry(&am->queue->wakeup, &acquired));
          frame.call(csys_semaphore_release(&am->queue->wakeup));
        }
      }
    }
  }
  CSYS_RETURN_IF_FAILED(frame.close());
  // The former owner is the caller: its priority is restored outside `lock`, and a failure is
  // the caller's result although the lock is free by then. A priority that is already the base
  // one (nobody raised it) needs no system call.
  if (released && os_getCurrentThreadPriority() != basePriority &&
      !os_setCurrentThreadPriority(basePriority)) {
    return CSYS_E_OS;
  }
  return CSYS_OK;
}

}  // extern "C"
