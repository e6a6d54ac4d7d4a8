// Kernel objects: handles, creation, closing, mutex ownership and the wait entry points.
#include <linux/futex.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace os_posix {

bool isInfinite(uint32_t milliseconds) {
  // The core's "forever" is 0x7FFFFFFF, which Windows would take as about 25 days.
  return milliseconds == OS_INFINITE || milliseconds == 0x7FFFFFFFu;
}

bool deadlineAfter(uint32_t milliseconds, timespec* deadline) {
  if (os_sys.clock_gettime(CLOCK_MONOTONIC, deadline) != 0) {
    setLastErrorFromErrno(errno);
    return false;
  }
  deadline->tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline->tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline->tv_nsec >= 1000000000L) {
    deadline->tv_sec += 1;
    deadline->tv_nsec -= 1000000000L;
  }
  return true;
}

bool applyChange(WaitableState& state, StateChange change, int32_t releaseCount,
                 int32_t* previousCount) {
  switch (change) {
    case StateChange::release:
      if (releaseCount > state.maximum - state.count) {
        os_setLastError(OS_ERROR_TOO_MANY_POSTS);
        return false;
      }
      if (previousCount != nullptr) {
        *previousCount = state.count;
      }
      state.count += releaseCount;
      return true;
    case StateChange::set:
      state.count = 1;
      return true;
    case StateChange::reset:
      state.count = 0;
      return true;
  }
  return false;
}

bool initRobustMutex(pthread_mutex_t* mutex, bool recursive, bool processShared) {
  pthread_mutexattr_t attributes;
  int rc = os_sys.pthread_mutexattr_init(&attributes);
  if (rc == 0) {
    os_sys.pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    os_sys.pthread_mutexattr_settype(&attributes,
                                     recursive ? PTHREAD_MUTEX_RECURSIVE : PTHREAD_MUTEX_NORMAL);
    os_sys.pthread_mutexattr_setpshared(
        &attributes, processShared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
    rc = os_sys.pthread_mutex_init(mutex, &attributes);
    os_sys.pthread_mutexattr_destroy(&attributes);
  }
  if (rc != 0) {
    setLastErrorFromErrno(rc);
    return false;
  }
  return true;
}

namespace {

// The thread that holds a robust mutex: its futex word holds the owner's thread id (kernel ABI).
pid_t ownerOf(pthread_mutex_t* mutex) {
  const int word = __atomic_load_n(&mutex->__data.__lock, __ATOMIC_RELAXED);
  return static_cast<pid_t>(static_cast<unsigned>(word) & FUTEX_TID_MASK);
}

bool unlockIfOwner(pthread_mutex_t* mutex) {
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer reports a refused unlock as misuse, so ask first.
  if (ownerOf(mutex) != os_sys.gettid()) {
    return false;
  }
#endif
  return os_sys.pthread_mutex_unlock(mutex) == 0;
}

}  // namespace

bool releaseForDisposal(pthread_mutex_t* mutex) {
  while (unlockIfOwner(mutex)) {
  }
  const int rc = os_sys.pthread_mutex_trylock(mutex);
  if (rc == 0 || rc == EOWNERDEAD) {
    if (rc == EOWNERDEAD) {
      os_sys.pthread_mutex_consistent(mutex);
    }
    os_sys.pthread_mutex_unlock(mutex);
    return true;
  }
  // Held by another thread. One in another process does not keep this process's copy alive.
  return os_sys.tgkill(os_sys.getpid(), ownerOf(mutex), 0) != 0;
}

}  // namespace os_posix

using os_posix::KernelObject;
using os_posix::ObjectParams;
using os_posix::ObjectType;
using os_posix::StateChange;

namespace {

std::atomic<size_t> g_openHandles{0};

bool isUnnamed(const char* name) {
  return name == nullptr || name[0] == '\0';
}

KernelObject* newUnnamed(const ObjectParams& params) {
  auto* object = new (std::nothrow)
      KernelObject{params.type, {1}, nullptr, nullptr, {params.initial, nullptr, nullptr}, {}};
  if (object == nullptr) {
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (params.type == ObjectType::mutex) {
    object->mutex = &object->ownMutex;
    if (!os_posix::initRobustMutex(object->mutex, true, false)) {
      delete object;
      return nullptr;
    }
    if (params.initialOwner) {
      os_sys.pthread_mutex_lock(object->mutex);
    }
  }
  return object;
}

// Keeps for good an unnamed mutex that another thread holds: its holder's robust list links its
// memory until the holder ends, and with no handle left the holder cannot unlock.
void leaveToHolder([[maybe_unused]] KernelObject* object) {
#if defined(__SANITIZE_ADDRESS__)
  __lsan_ignore_object(object);
#endif
}

void releaseReference(KernelObject* object) {
  if (object->named != nullptr) {
    os_posix::namedRelease(object);
    return;
  }
  if (object->references.fetch_sub(1, std::memory_order_acq_rel) != 1) {
    return;
  }
  if (object->type == ObjectType::mutex) {
    if (!os_posix::releaseForDisposal(object->mutex)) {
      leaveToHolder(object);
      return;
    }
    os_sys.pthread_mutex_destroy(object->mutex);
  }
  os_posix::destroyThreadInfo(object->thread);
  delete object;
}

// Wraps an object (one reference) in a handle; the last error is `error` on success.
os_handle newHandle(KernelObject* object, uint32_t access, uint32_t error) {
  if (object == nullptr) {
    return nullptr;
  }
  auto* handle = new (std::nothrow) os_object{object, access};
  if (handle == nullptr) {
    releaseReference(object);
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  os_posix::countHandle();
  os_setLastError(error);
  return handle;
}

os_handle createObject(const ObjectParams& params, const char* name) {
  if (isUnnamed(name)) {
    return newHandle(newUnnamed(params), os_posix::kAccessAll, OS_ERROR_SUCCESS);
  }
  bool existed = false;
  KernelObject* object = os_posix::namedAcquire(name, params.type, &params, &existed);
  return newHandle(object, os_posix::kAccessAll,
                   existed ? OS_ERROR_ALREADY_EXISTS : OS_ERROR_SUCCESS);
}

os_handle openObject(ObjectType type, const char* name) {
  if (isUnnamed(name)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool existed = false;
  KernelObject* object = os_posix::namedAcquire(name, type, nullptr, &existed);
  return newHandle(object, os_posix::kAccessSynchronize, OS_ERROR_SUCCESS);
}

// The object behind a handle of the given type, or null with OS_ERROR_INVALID_HANDLE.
KernelObject* objectOf(os_handle handle, ObjectType type) {
  if (handle == nullptr || handle->object->type != type) {
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return handle->object;
}

bool changeState(os_handle handle, ObjectType type, StateChange change, int32_t releaseCount,
                 int32_t* previousCount) {
  KernelObject* object = objectOf(handle, type);
  if (object == nullptr) {
    return false;
  }
  if ((handle->access & os_posix::kAccessModifyState) == 0) {
    os_setLastError(OS_ERROR_ACCESS_DENIED);
    return false;
  }
  if (object->named != nullptr) {
    return os_posix::namedChange(object, change, releaseCount, previousCount);
  }
  return os_posix::dispatchChange(object->waitable, change, releaseCount, previousCount);
}

// clocklock is the one lock call ThreadSanitizer does not intercept; tell it by hand. (It then
// misreports one case as a double lock: a timed wait already blocked when the owner ends.)
int timedLock(pthread_mutex_t* mutex, const timespec& deadline) {
#if defined(__SANITIZE_THREAD__)
  __tsan_mutex_pre_lock(mutex, __tsan_mutex_try_lock);
#endif
  const int rc = os_sys.pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#if defined(__SANITIZE_THREAD__)
  const bool acquired = rc == 0 || rc == EOWNERDEAD;
  __tsan_mutex_post_lock(mutex,
                         __tsan_mutex_try_lock | (acquired ? 0 : __tsan_mutex_try_lock_failed), 0);
#endif
  return rc;
}

uint32_t waitMutex(pthread_mutex_t* mutex, uint32_t milliseconds) {
  // Try first: the uncontended case needs no clock, and an abandoned mutex is found at once.
  int rc = os_sys.pthread_mutex_trylock(mutex);
  if (rc == EBUSY && milliseconds != 0) {
    timespec deadline{};
    if (os_posix::isInfinite(milliseconds)) {
      rc = os_sys.pthread_mutex_lock(mutex);
    } else if (os_posix::deadlineAfter(milliseconds, &deadline)) {
      rc = timedLock(mutex, deadline);
    } else {
      return OS_WAIT_FAILED;
    }
  }
  switch (rc) {
    case 0:
      return OS_WAIT_OBJECT_0;
    case EOWNERDEAD:
      // Without this every later lock would fail with ENOTRECOVERABLE.
      os_sys.pthread_mutex_consistent(mutex);
      return OS_WAIT_ABANDONED_0;
    case EBUSY:
    case ETIMEDOUT:
      return OS_WAIT_TIMEOUT;
    default:
      // EAGAIN: the recursion count is exhausted.
      os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
      return OS_WAIT_FAILED;
  }
}

}  // namespace

os_handle os_createMutex(bool initialOwner, const char* name) {
  return createObject({ObjectType::mutex, initialOwner, {}}, name);
}

os_handle os_createSemaphore(int32_t initialCount, int32_t maximumCount, const char* name) {
  if (initialCount < 0 || maximumCount < 1 || initialCount > maximumCount) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return createObject({ObjectType::semaphore, false, {initialCount, maximumCount, false}}, name);
}

os_handle os_createEvent(bool manualReset, bool initialState, const char* name) {
  return createObject({ObjectType::event, false, {initialState ? 1 : 0, 1, manualReset}}, name);
}

os_handle os_openMutex(const char* name) {
  return openObject(ObjectType::mutex, name);
}

os_handle os_openSemaphore(const char* name) {
  return openObject(ObjectType::semaphore, name);
}

os_handle os_openEvent(const char* name) {
  return openObject(ObjectType::event, name);
}

void os_posix::countHandle() {
  g_openHandles.fetch_add(1, std::memory_order_relaxed);
}

void os_posix::closeOwnHandle(os_handle handle) {
  releaseReference(handle->object);
  delete handle;
}

bool os_closeHandle(os_handle handle) {
  if (handle == nullptr) {
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return false;
  }
  os_posix::closeOwnHandle(handle);
  g_openHandles.fetch_sub(1, std::memory_order_relaxed);
  return true;
}

size_t os_openHandleCount() {
  return g_openHandles.load(std::memory_order_relaxed);
}

bool os_releaseMutex(os_handle mutex) {
  KernelObject* object = objectOf(mutex, ObjectType::mutex);
  if (object == nullptr) {
    return false;
  }
  if (!os_posix::unlockIfOwner(object->mutex)) {
    os_setLastError(OS_ERROR_NOT_OWNER);
    return false;
  }
  return true;
}

bool os_releaseSemaphore(os_handle semaphore, int32_t releaseCount, int32_t* previousCount) {
  if (releaseCount < 1) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  return changeState(semaphore, ObjectType::semaphore, StateChange::release, releaseCount,
                     previousCount);
}

bool os_setEvent(os_handle event) {
  return changeState(event, ObjectType::event, StateChange::set, 0, nullptr);
}

bool os_resetEvent(os_handle event) {
  return changeState(event, ObjectType::event, StateChange::reset, 0, nullptr);
}

uint32_t os_waitForSingleObject(os_handle handle, uint32_t milliseconds) {
  if (handle == nullptr) {
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return OS_WAIT_FAILED;
  }
  KernelObject* object = handle->object;
  if (object->type == ObjectType::mutex) {
    return waitMutex(object->mutex, milliseconds);
  }
  if (object->named != nullptr) {
    return os_posix::namedWait(object, milliseconds);
  }
  os_posix::Waitable* waitable = &object->waitable;
  return os_posix::dispatchWait(&waitable, 1, milliseconds);
}

// Several objects at once are dispatcher objects only: a mutex or a named object can be waited
// for alone (count 1), not together with others.
uint32_t os_waitForAnyObject(uint32_t count, const os_handle* handles, uint32_t milliseconds) {
  if (handles == nullptr || count == 0 || count > OS_MAXIMUM_WAIT_OBJECTS) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return OS_WAIT_FAILED;
  }
  if (count == 1) {
    return os_waitForSingleObject(handles[0], milliseconds);
  }
  os_posix::Waitable* objects[OS_MAXIMUM_WAIT_OBJECTS];
  for (uint32_t i = 0; i < count; ++i) {
    if (handles[i] == nullptr) {
      os_setLastError(OS_ERROR_INVALID_HANDLE);
      return OS_WAIT_FAILED;
    }
    KernelObject* object = handles[i]->object;
    if (object->type == ObjectType::mutex || object->named != nullptr) {
      os_setLastError(OS_ERROR_INVALID_PARAMETER);
      return OS_WAIT_FAILED;
    }
    objects[i] = &object->waitable;
  }
  return os_posix::dispatchWait(objects, count, milliseconds);
}
