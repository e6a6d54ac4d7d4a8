// Mutexes, semaphores and events: thin wrappers over the OS layer's kernel objects that turn
// OS answers into statuses and report to leak tracking. The OS serializes the objects; the
// library holds no lock of its own around them.
#include "cleanup/resource_tracking_internal.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "diag/type_checks.h"
#include "os/os.h"
#include "sync/protect.h"

namespace {

constexpr const char* kMutexName = "csys_mutex";
constexpr const char* kSemaphoreName = "csys_semaphore";
constexpr const char* kEventName = "csys_event";

os_handle osHandle(void* handle) {
  return static_cast<os_handle>(handle);
}

bool isNamed(const char* name) {
  return name != nullptr && name[0] != '\0';
}

// Did a successful create return an object that already existed under the name?
uint32_t createdByThisCall(const char* name) {
  return isNamed(name) && os_getLastError() == OS_ERROR_ALREADY_EXISTS ? 0u : 1u;
}

csys_status track(csys_resourceId* rid, const char* resourceName) {
  CSYS_RETURN_IF_FAILED(csys_resourceId_init(rid, resourceName));
  return csys_resourceTracking_log(rid, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT, 1);
}

// The OS wait: a time-out is a success with *acquired 0; an abandoned mutex is acquired.
csys_status waitHandle(void* handle, uint32_t timeoutMs, int32_t* acquired) {
  *acquired = 0;
  const uint32_t ms = timeoutMs == CSYS_WAIT_INFINITE ? OS_INFINITE : timeoutMs;
  switch (os_waitForSingleObject(osHandle(handle), ms)) {
    case OS_WAIT_OBJECT_0:
    case OS_WAIT_ABANDONED_0:
      *acquired = 1;
      return CSYS_OK;
    case OS_WAIT_TIMEOUT:
      return CSYS_OK;
    case OS_WAIT_FAILED:
      return CSYS_E_OS;
    default:
      CSYS_CHECK(false);
      return CSYS_E_OS;
  }
}

template <typename Object>
csys_status waitCommon(Object* object, uint32_t timeoutMs, int32_t* acquired) {
  if (object == nullptr || object->handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  int32_t got = 0;
  CSYS_RETURN_IF_FAILED(waitHandle(object->handle, timeoutMs, &got));
  if (acquired != nullptr) *acquired = got;
  return CSYS_OK;
}

// Closes the handle and reports the destruction; destruct again is a no-op.
template <typename Object>
csys_status destructCommon(Object* object) {
  os_closeHandle(osHandle(object->handle));
  object->handle = nullptr;
  return csys_resourceTracking_log(&object->resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT,
                                   -1);
}

// Takes a handle just created or opened and records the construction (and the initial
// ownership of a mutex). Whatever fails after the OS call gives the handle back, releasing an
// initial ownership first: a failed construction leaves nothing to destruct and nothing recorded.
template <typename Object>
csys_status adoptCreated(Object* object, os_handle handle, const char* name, int32_t allowExisting,
                         const char* resourceName, int32_t initialOwner = 0,
                         int32_t* owned = nullptr) {
  object->handle = nullptr;
  if (owned != nullptr) *owned = 0;
  if (handle == nullptr) return CSYS_E_OS;
  const uint32_t created = createdByThisCall(name);
  const bool isOwned = initialOwner != 0 && created == 1;
  csys_status status = allowExisting != 0 || created == 1 ? CSYS_OK : CSYS_E_OS;
  if (CSYS_SUCCEEDED(status)) status = track(&object->resourceId, resourceName);
  if (CSYS_SUCCEEDED(status) && isOwned) {
    status = csys_resourceTracking_acquired(&object->resourceId);
    // Taking back a record that exists needs no allocation.
    if (CSYS_FAILED(status)) {
      csys_resourceTracking_log(&object->resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT,
                                -1);
    }
  }
  if (CSYS_FAILED(status)) {
    if (isOwned) os_releaseMutex(handle);
    os_closeHandle(handle);
    return status;
  }
  object->handle = handle;
  object->created = created;
  if (owned != nullptr) *owned = isOwned ? 1 : 0;
  return CSYS_OK;
}

// Opens an existing named object with synchronize access only.
template <typename Object>
csys_status openExisting(Object* object, const char* name, os_handle (*open)(const char*),
                         const char* resourceName) {
  if (object == nullptr || !isNamed(name)) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(adoptCreated(object, open(name), nullptr, 1, resourceName));
  object->created = 0;
  return CSYS_OK;
}

csys_status mutexConstructCommon(csys_mutex* m, const char* name, int32_t allowExisting,
                                 int32_t initialOwner, int32_t* owned) {
  if (m == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return adoptCreated(m, os_createMutex(initialOwner != 0, name), name, allowExisting, kMutexName,
                      initialOwner, owned);
}

csys_status semaphoreConstructCommon(csys_semaphore* s, const char* name, int32_t allowExisting,
                                     int32_t initialCount, int32_t maximumCount) {
  if (s == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(adoptCreated(s, os_createSemaphore(initialCount, maximumCount, name), name,
                                     allowExisting, kSemaphoreName));
  s->maximumCount = static_cast<uint32_t>(maximumCount);
  return CSYS_OK;
}

csys_status eventConstructCommon(csys_event* e, const char* name, int32_t allowExisting,
                                 int32_t manualReset, int32_t initialState) {
  if (e == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return adoptCreated(e, os_createEvent(manualReset != 0, initialState != 0, name), name,
                      allowExisting, kEventName);
}

// A wait whose acquisition record fails gives the mutex back and reports acquired 0 with the
// failure: the caller holds nothing, and the leak report never sees a release without its
// acquisition. Every wait and enter of the library follows this rule.
csys_status mutexWaitCommon(csys_mutex* m, uint32_t timeoutMs, int32_t* acquired) {
  int32_t got = 0;
  CSYS_RETURN_IF_FAILED(waitCommon(m, timeoutMs, &got));
  csys_status status = CSYS_OK;
  if (got == 1) {
    status = csys_resourceTracking_acquired(&m->resourceId);
    if (CSYS_FAILED(status)) {
      os_releaseMutex(osHandle(m->handle));
      got = 0;
    }
  }
  if (acquired != nullptr) *acquired = got;
  return status;
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_mutex_construct(csys_mutex* m, int32_t initialOwner, int32_t* owned) {
  return mutexConstructCommon(m, nullptr, 1, initialOwner, owned);
}

CSYS_API csys_status csys_mutex_constructNamed(csys_mutex* m, const char* name,
                                               int32_t allowExisting, int32_t initialOwner,
                                               int32_t* owned) {
  if (!isNamed(name)) return CSYS_E_INVALID_ARGUMENT;
  return mutexConstructCommon(m, name, allowExisting, initialOwner, owned);
}

CSYS_API csys_status csys_mutex_constructNamedExists(csys_mutex* m, const char* name) {
  return openExisting(m, name, os_openMutex, kMutexName);
}

CSYS_API csys_status csys_mutex_destruct(csys_mutex* m) {
  if (m == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (m->handle == nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(destructCommon(m));
  int32_t held = 0;
  CSYS_RETURN_IF_FAILED(
      csys_resourceId_getCount(&m->resourceId, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, &held));
  if (held == 0) return CSYS_OK;
  return csys_resourceTracking_log(&m->resourceId, CSYS_RESOURCE_ACTION_DESTRUCT_WHILE_LOCKED, 1);
}

CSYS_API csys_status csys_mutex_wait(csys_mutex* m, int32_t* acquired) {
  return mutexWaitCommon(m, CSYS_WAIT_INFINITE, acquired);
}

CSYS_API csys_status csys_mutex_waitTry(csys_mutex* m, int32_t* acquired) {
  return mutexWaitCommon(m, 0, acquired);
}

CSYS_API csys_status csys_mutex_waitTimeout(csys_mutex* m, uint32_t timeoutMs, int32_t* acquired) {
  return mutexWaitCommon(m, timeoutMs, acquired);
}

CSYS_API csys_status csys_mutex_unlock(csys_mutex* m) {
  if (m == nullptr || m->handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const os_handle handle = osHandle(m->handle);
  return csys_resourceTracking_release(
      &m->resourceId, [handle] { return os_releaseMutex(handle); }, CSYS_E_OS);
}

CSYS_API csys_status csys_mutex_protect(csys_mutex* m, csys_initFunc fn, void* context) {
  return protectWith(m, fn, context, csys_mutex_wait, csys_mutex_unlock);
}

CSYS_API csys_status csys_semaphore_construct(csys_semaphore* s, int32_t initialCount,
                                              int32_t maximumCount) {
  return semaphoreConstructCommon(s, nullptr, 1, initialCount, maximumCount);
}

CSYS_API csys_status csys_semaphore_constructNamed(csys_semaphore* s, const char* name,
                                                   int32_t allowExisting, int32_t initialCount,
                                                   int32_t maximumCount) {
  if (!isNamed(name)) return CSYS_E_INVALID_ARGUMENT;
  return semaphoreConstructCommon(s, name, allowExisting, initialCount, maximumCount);
}

CSYS_API csys_status csys_semaphore_constructNamedExists(csys_semaphore* s, const char* name) {
  return openExisting(s, name, os_openSemaphore, kSemaphoreName);
}

CSYS_API csys_status csys_semaphore_destruct(csys_semaphore* s) {
  if (s == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (s->handle == nullptr) return CSYS_OK;
  return destructCommon(s);
}

CSYS_API csys_status csys_semaphore_release(csys_semaphore* s) {
  if (s == nullptr || s->handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return os_releaseSemaphore(osHandle(s->handle), 1, nullptr) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status csys_semaphore_wait(csys_semaphore* s, int32_t* acquired) {
  return waitCommon(s, CSYS_WAIT_INFINITE, acquired);
}

CSYS_API csys_status csys_semaphore_waitTry(csys_semaphore* s, int32_t* acquired) {
  return waitCommon(s, 0, acquired);
}

CSYS_API csys_status csys_semaphore_waitTimeout(csys_semaphore* s, uint32_t timeoutMs,
                                                int32_t* acquired) {
  return waitCommon(s, timeoutMs, acquired);
}

CSYS_API csys_status csys_event_construct(csys_event* e, int32_t manualReset,
                                          int32_t initialState) {
  return eventConstructCommon(e, nullptr, 1, manualReset, initialState);
}

CSYS_API csys_status csys_event_constructNamed(csys_event* e, const char* name,
                                               int32_t allowExisting, int32_t manualReset,
                                               int32_t initialState) {
  if (!isNamed(name)) return CSYS_E_INVALID_ARGUMENT;
  return eventConstructCommon(e, name, allowExisting, manualReset, initialState);
}

CSYS_API csys_status csys_event_constructNamedExists(csys_event* e, const char* name) {
  return openExisting(e, name, os_openEvent, kEventName);
}

CSYS_API csys_status csys_event_destruct(csys_event* e) {
  if (e == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (e->handle == nullptr) return CSYS_OK;
  return destructCommon(e);
}

CSYS_API csys_status csys_event_set(csys_event* e) {
  if (e == nullptr || e->handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return os_setEvent(osHandle(e->handle)) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status csys_event_reset(csys_event* e) {
  if (e == nullptr || e->handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return os_resetEvent(osHandle(e->handle)) ? CSYS_OK : CSYS_E_OS;
}

CSYS_API csys_status csys_event_wait(csys_event* e, int32_t* acquired) {
  return waitCommon(e, CSYS_WAIT_INFINITE, acquired);
}

CSYS_API csys_status csys_event_waitTry(csys_event* e, int32_t* acquired) {
  return waitCommon(e, 0, acquired);
}

CSYS_API csys_status csys_event_waitTimeout(csys_event* e, uint32_t timeoutMs, int32_t* acquired) {
  return waitCommon(e, timeoutMs, acquired);
}

}  // extern "C"

CSYS_DEFINE_TYPE_CHECKS(csys_mutex)
CSYS_DEFINE_TYPE_CHECKS(csys_semaphore)
CSYS_DEFINE_TYPE_CHECKS(csys_event)
