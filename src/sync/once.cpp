// Once-initialization and the global mutex. The global mutex is created without a lock: a
// claim counter elects the one creating thread and the others poll until it is published. It
// is recursive, so an init function may run further once-initializations on the same thread.
#include <atomic>

#include "cleanup/resource_tracking_internal.h"
#include "csys_atomic.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "sync/once_internal.h"

namespace {

constexpr double kPublishPollSeconds = 0.005;

csys_mutex g_globalMutexStorage{};
std::atomic<csys_mutex*> g_globalMutex{nullptr};
int32_t g_globalMutexClaims = 1;
std::atomic<int32_t> g_globalMutexShutDown{0};

csys_status destructSingleton(void* cs) {
  return csys_criticalSection_destruct(static_cast<csys_criticalSection*>(cs));
}

csys_status constructAndRegister(void* context) {
  auto* cs = static_cast<csys_criticalSection*>(context);
  CSYS_RETURN_IF_FAILED(csys_criticalSection_construct(cs));
  const csys_status status = csys_shutdown_register(destructSingleton, cs);
  if (CSYS_FAILED(status)) csys_criticalSection_destruct(cs);
  return status;
}

// Each step's failure is only reported: the mutex is published whatever happens, so that
// waiters polling for it are never stranded.
csys_status constructGlobal() {
  csys_status status = csys_mutex_construct(&g_globalMutexStorage, 0, nullptr);
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  g_globalMutex.store(&g_globalMutexStorage, std::memory_order_release);
  status = csys_resourceTracking_init();
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  // Tracking did not exist when the mutex was constructed: record that now.
  status = csys_resourceId_logAction(&g_globalMutexStorage.resourceId,
                                     CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT, 1);
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  status = csys_shutdown_register(csys_mutex_shutdownGlobal, nullptr);
  CSYS_CHECK(CSYS_SUCCEEDED(status));
  return status;
}

// Kept out of line so that the fast path of csys_initializeOnce stays a load and a return.
[[gnu::noinline]] csys_status initializeOnceLocked(csys_initFunc init, void* context,
                                                   int32_t* flag) {
  csys_mutex* global = nullptr;
  CSYS_RETURN_IF_FAILED(csys_mutex_getGlobal(&global));
  int32_t acquired = 0;
  CSYS_RETURN_IF_FAILED(csys_mutex_wait(global, &acquired));
  CSYS_CHECK(acquired == 1);
  csys_status status = CSYS_OK;
  if (std::atomic_ref<int32_t>(*flag).load(std::memory_order_relaxed) == 0) {
    status = init(context);
    // Everything the init function wrote is visible to whoever reads the 1.
    if (!CSYS_FAILED(status)) std::atomic_ref<int32_t>(*flag).store(1, std::memory_order_release);
  }
  const csys_status unlocked = csys_mutex_unlock(global);
  return csys_firstFailure(status, unlocked);
}

}  // namespace

csys_status csys_mutex_shutdownGlobal(void* /*context*/) {
  csys_status status = CSYS_OK;
  if (csys_mutex* mutex = g_globalMutex.load(std::memory_order_acquire)) {
    status = csys_mutex_destruct(mutex);
  }
  g_globalMutexShutDown.store(1, std::memory_order_release);
  g_globalMutex.store(nullptr, std::memory_order_release);
  return status;
}

extern "C" {

CSYS_API csys_status csys_mutex_getGlobal(csys_mutex** mutex) {
  if (mutex == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *mutex = nullptr;
  if (g_globalMutexShutDown.load(std::memory_order_acquire) != 0) {
    CSYS_CHECK(false);  // there is no way back from shutdown
    return CSYS_E_FAIL;
  }
  csys_status status = CSYS_OK;
  if (g_globalMutex.load(std::memory_order_acquire) == nullptr) {
    int32_t claims = 0;
    CSYS_CHECK(CSYS_SUCCEEDED(csys_atomicDecrement(&g_globalMutexClaims, &claims)));
    if (claims == 0) {
      status = constructGlobal();
    } else {
      while (g_globalMutex.load(std::memory_order_acquire) == nullptr) {
        csys_sleep(kPublishPollSeconds);
      }
    }
  }
  csys_mutex* const global = g_globalMutex.load(std::memory_order_acquire);
  CSYS_CHECK(global != nullptr);
  *mutex = global;
  return status;
}

CSYS_API csys_status csys_initializeOnce(csys_initFunc init, void* context, int32_t* flag) {
  if (init == nullptr || flag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  // Fast path: one acquire load, paired with the release store of the slow path.
  if (std::atomic_ref<int32_t>(*flag).load(std::memory_order_acquire) != 0) return CSYS_OK;
  return initializeOnceLocked(init, context, flag);
}

CSYS_API csys_status csys_criticalSection_constructSingleton(csys_criticalSection* cs,
                                                             int32_t* flag) {
  return csys_initializeOnce(constructAndRegister, cs, flag);
}

CSYS_API csys_status csys_mutex_protectGlobal(csys_initFunc fn, void* context) {
  CSYS_CHECK(fn != nullptr);
  csys_mutex* global = nullptr;
  CSYS_RETURN_IF_FAILED(csys_mutex_getGlobal(&global));
  CSYS_CHECK(global != nullptr);
  return csys_mutex_protect(global, fn, context);
}

}  // extern "C"
