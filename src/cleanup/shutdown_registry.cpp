// The shutdown registry: teardown functions for the early and the final stage, and the
// postponement count that holds the final stage back. Both lists are guarded by a critical
// section inside a reference-counted object, so a registration racing with the final stage
// never touches a destroyed lock: each user holds its own reference while it uses the lock.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "cleanup/resource_tracking_internal.h"
#include "cleanup/shutdown_internal.h"
#include "csys_atomic.h"
#include "csys_memory.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "os/os.h"
#include "thread/thread_local_internal.h"

namespace {

struct Registration {
  csys_shutdownFunc func;
  void* arg;
};

struct RegistrationList {
  Registration* records;
  int32_t count;
};

// The registry lock object: a shared block followed by the critical section it guards with.
struct RegistryLock {
  cstd_shared shared;
  csys_criticalSection cs;
};

// Claim states of the lock object: created exactly once, by whichever thread claims it.
enum LockState : int32_t { kLockAbsent = 0, kLockCreating = 1, kLockCreated = 2 };

constexpr double kClaimPollSeconds = 0.005;

RegistrationList g_normal{nullptr, 0};
RegistrationList g_early{nullptr, 0};
int32_t g_shutdownOnce = 1;
std::atomic<int32_t> g_requested{0};
std::atomic<int32_t> g_done{0};
int32_t g_postponements = 0;
cstd_ptrh g_lockHandle{nullptr};
std::atomic<int32_t> g_lockState{kLockAbsent};
std::atomic<int32_t> g_lockReleased{0};
// Callers of csys_shutdown_acquireLock between their released check and their copy.
std::atomic<int32_t> g_lockAcquirers{0};

csys_status releaseRegistryLock(void** wholeField, uintptr_t /*context*/) {
  void* whole = *wholeField;
  const csys_status destroyed =
      csys_criticalSection_destruct(&static_cast<RegistryLock*>(whole)->cs);
  const csys_status freed = csys_memory_free_internal(&whole);
  return csys_firstFailure(destroyed, freed);
}

const cstd_shared_vtable kRegistryLockOps = {releaseRegistryLock, cstd_shared_increment_default,
                                             cstd_shared_decrement_default};

csys_status destroyLockObject(void** object) {
  auto* lock = static_cast<RegistryLock*>(*object);
  if (lock == nullptr) return CSYS_OK;
  csys_criticalSection_destruct(&lock->cs);
  return csys_memory_free_internal(object);
}

csys_status createLockObject() {
  CleanupFrame<1> frame{UntrackedFrame{}};
  void* object = nullptr;
  if (frame.call(csys_memory_alloc_internal(sizeof(RegistryLock), &object))) {
    frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &object, destroyLockObject);
    auto* lock = static_cast<RegistryLock*>(object);
    lock->cs = csys_criticalSection{};
    const cstd_shared_initParams params{0, nullptr, &kRegistryLockOps};
    if (frame.call(cstd_shared_initCustom(&lock->shared, lock, &params)) &&
        frame.call(csys_criticalSection_construct(&lock->cs))) {
      frame.call(cstd_ptrh_construct(&g_lockHandle, &lock->shared));
    }
  }
  return frame.close();
}

// Appends under the registry lock; a failed growth leaves the list as it was.
csys_status append(RegistrationList& list, csys_shutdownFunc func, void* arg) {
  void* records = list.records;
  CSYS_RETURN_IF_FAILED(csys_memory_realloc_internal(
      static_cast<intptr_t>((list.count + 1) * sizeof(Registration)), &records));
  list.records = static_cast<Registration*>(records);
  list.records[list.count++] = Registration{func, arg};
  return CSYS_OK;
}

csys_status unlockRegistry(void* handle) {
  return csys_shutdown_unlock(static_cast<cstd_ptrh*>(handle));
}

csys_status dropHandle(void* handle) {
  return cstd_ptrh_destruct(static_cast<cstd_ptrh*>(handle));
}

// Runs `body` while holding the registry lock through a reference of its own.
template <typename Body>
csys_status underRegistryLock(Body body) {
  CleanupFrame<2> frame{UntrackedFrame{}};
  cstd_ptrh handle{nullptr};
  frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &handle, dropHandle);
  int32_t locked = 0;
  if (frame.call(csys_shutdown_acquireLock(&handle)) &&
      frame.call(csys_shutdown_lock(&handle, &locked))) {
    CSYS_CHECK(locked == 1);
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, &handle, unlockRegistry);
    frame.call(body());
  }
  return frame.close();
}

csys_status registerAt(csys_shutdownFunc func, void* arg, RegistrationList& list) {
  return underRegistryLock([&] {
    // Checked under the lock too: the final stage closes the lists while holding it.
    if (g_lockReleased.load(std::memory_order_acquire) != 0) return CSYS_E_SHUT_DOWN;
    return append(list, func, arg);
  });
}

// Takes the newest registration off the list, under the lock; false when it is empty.
bool popNewest(RegistrationList& list, Registration* out, bool closeWhenEmpty) {
  bool popped = false;
  const csys_status status = underRegistryLock([&] {
    if (list.count > 0) {
      *out = list.records[--list.count];
      popped = true;
    } else {
      void* records = list.records;
      list.records = nullptr;
      // Once the final stage has emptied its list no registration may join it.
      if (closeWhenEmpty) g_lockReleased.store(1, std::memory_order_release);
      return csys_memory_free_internal(&records);
    }
    return CSYS_OK;
  });
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  return popped && CSYS_SUCCEEDED(status);
}

// Runs every registration of the list, newest first and outside the lock, whatever their
// results; returns the first failure.
csys_status runList(RegistrationList& list, bool closeWhenEmpty) {
  csys_status status = CSYS_OK;
  Registration registration{};
  while (popNewest(list, &registration, closeWhenEmpty)) {
    const csys_status result = registration.func(registration.arg);
    csys_mergeStatus(&status, result);
  }
  return status;
}

// Copies the library's reference to the lock object, creating the object on first use.
csys_status copyLockHandle(cstd_ptrh* handle) {
  for (;;) {
    int32_t state = g_lockState.load(std::memory_order_acquire);
    if (state == kLockCreated) break;
    if (state == kLockAbsent &&
        g_lockState.compare_exchange_strong(state, kLockCreating, std::memory_order_acq_rel)) {
      const csys_status created = createLockObject();
      CSYS_CHECK(CSYS_SUCCEEDED(created));
      // A failed creation gives the claim back, so a later caller can try again.
      g_lockState.store(CSYS_FAILED(created) ? kLockAbsent : kLockCreated,
                        std::memory_order_release);
      if (CSYS_FAILED(created)) return created;
      break;
    }
    const csys_status slept = csys_sleep(kClaimPollSeconds);
    CSYS_CHECK(CSYS_SUCCEEDED(slept));
    if (CSYS_FAILED(slept)) return slept;
  }
  return cstd_ptrh_assign(handle, &g_lockHandle);
}

}  // namespace

csys_status csys_shutdown_getIsRequested(int32_t* requested) {
  CSYS_CHECK(requested != nullptr);
  if (requested == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *requested = g_requested.load(std::memory_order_acquire);
  return CSYS_OK;
}

bool csys_shutdown_isDone() {
  return g_done.load(std::memory_order_acquire) != 0;
}

csys_status csys_shutdown_acquireLock(cstd_ptrh* handle) {
  CSYS_CHECK(handle != nullptr);
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(cstd_ptrh_assignShared(handle, nullptr));
  // Counted from before the check to after the copy (sequentially consistent, as the final
  // stage's release and wait are): the final stage drops the library's reference only when no
  // caller is between the two, so a caller either sees the registry released or copies a live
  // reference.
  g_lockAcquirers.fetch_add(1);
  const csys_status status = g_lockReleased.load() != 0 ? CSYS_E_SHUT_DOWN : copyLockHandle(handle);
  g_lockAcquirers.fetch_sub(1);
  return status;
}

csys_status csys_shutdown_withLock(csys_status (*work)(void* context), void* context) {
  return underRegistryLock([&] { return work(context); });
}

csys_status csys_shutdown_lock(cstd_ptrh* handle, int32_t* locked) {
  void* whole = nullptr;
  CSYS_RETURN_IF_FAILED(cstd_ptrh_getWholeShared(handle, &whole));
  CSYS_CHECK(whole != nullptr);
  if (whole == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return csys_criticalSection_wait(&static_cast<RegistryLock*>(whole)->cs, locked);
}

csys_status csys_shutdown_unlock(cstd_ptrh* handle) {
  void* whole = nullptr;
  CSYS_RETURN_IF_FAILED(cstd_ptrh_getWholeShared(handle, &whole));
  CSYS_CHECK(whole != nullptr);
  if (whole == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return csys_criticalSection_release(&static_cast<RegistryLock*>(whole)->cs);
}

csys_status csys_shutdown_runEarly() {
  return runList(g_early, false);
}

csys_status csys_shutdown_runFinal() {
  CSYS_CHECK(g_requested.load(std::memory_order_acquire) != 0);
  CSYS_CHECK(g_done.load(std::memory_order_acquire) == 0);
  if (g_done.load(std::memory_order_acquire) != 0) return CSYS_E_SHUT_DOWN;
  csys_status status = runList(g_normal, true);
  csys_mergeStatus(&status, csys_threadLocal_releaseSlot());
  // The library's reference on the lock object; concurrent users keep it alive until they
  // drop theirs. Callers already past the released check finish their copy first.
  g_lockReleased.store(1);
  while (g_lockAcquirers.load() != 0) os_yield();
  if (g_lockState.load(std::memory_order_acquire) == kLockCreated) {
    const csys_status dropped = cstd_ptrh_destruct(&g_lockHandle);
    CSYS_CHECK(CSYS_SUCCEEDED(dropped));
    csys_mergeStatus(&status, dropped);
  }
  csys_mergeStatus(&status, csys_resourceTracking_shutdown());
  g_done.store(1, std::memory_order_release);
  return status;
}

csys_status csys_shutdown_request(bool* elected) {
  *elected = false;
  int32_t remaining = 0;
  CSYS_RETURN_IF_FAILED(csys_atomicDecrement(&g_shutdownOnce, &remaining));
  if (remaining != 0)
    return csys_shutdown_isDone() ? CSYS_SHUTDOWN_ALREADY_DONE : CSYS_SHUTDOWN_IN_PROGRESS;
  csys_shutdownPostponementIncrement();
  g_requested.store(1, std::memory_order_release);
  *elected = true;
  return CSYS_OK;
}

csys_status csys_shutdown_finishRequest() {
  CSYS_RETURN_IF_FAILED(csys_shutdown_runEarly());
  return csys_shutdownPostponementDecrement();
}

extern "C" {

CSYS_API csys_status csys_shutdown_register(csys_shutdownFunc func, void* arg) {
  return registerAt(func, arg, g_normal);
}

CSYS_API csys_status csys_shutdown_registerEarly(csys_shutdownFunc func, void* arg) {
  return registerAt(func, arg, g_early);
}

CSYS_API csys_status csys_shutdownPostponementIncrement(void) {
  CSYS_CHECK(std::atomic_ref<int32_t>(g_postponements).load() >= 0);
  return csys_atomicIncrement(&g_postponements, nullptr);
}

CSYS_API csys_status csys_shutdownPostponementDecrement(void) {
  CSYS_CHECK(std::atomic_ref<int32_t>(g_postponements).load() >= 0);
  int32_t remaining = 0;
  CSYS_RETURN_IF_FAILED(csys_atomicDecrement(&g_postponements, &remaining));
  CSYS_CHECK(remaining >= 0);
  if (g_requested.load(std::memory_order_acquire) == 0) return CSYS_OK;
  if (remaining != 0) return CSYS_SHUTDOWN_POSTPONED;
  return csys_shutdown_runFinal();
}

}  // extern "C"
