// Threads and thread-local slots of the POSIX backend.
//
// A thread object is a dispatcher object (a manual-reset waitable, so it mixes with semaphores
// in one wait-any) plus the thread's id and its Windows priority. Every thread that has an
// object keeps one handle of its own in a key whose destructor runs as the thread ends: that is
// how an object becomes signalled even for a thread that never tells the layer it ends. The
// library links with -z nodelete, so the destructor's code outlives any dlclose.
#include <atomic>
#include <cerrno>
#include <new>

#include "os/posix/affinity.h"
#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"

namespace os_posix {

struct ThreadInfo {
  std::atomic<pid_t> tid{0};
  std::atomic<int32_t> priority{0};  // as Windows reads it; threads start at normal
};

void destroyThreadInfo(ThreadInfo* info) {
  delete info;
}

}  // namespace os_posix

using os_posix::KernelObject;
using os_posix::ObjectType;
using os_posix::ThreadInfo;

namespace {

thread_local os_handle t_self = nullptr;  // the calling thread's own handle, once it has one
std::atomic<int64_t> g_exitKey{-1};

void threadEnded(void* self) {
  auto* handle = static_cast<os_handle>(self);
  t_self = nullptr;
  os_posix::dispatchChange(handle->object->waitable, os_posix::StateChange::set, 0, nullptr);
  os_posix::closeOwnHandle(handle);
}

// The key whose destructor signals a thread's object; made on first need, retried after a
// failure.
bool exitKey(pthread_key_t* key) {
  int64_t current = g_exitKey.load(std::memory_order_acquire);
  if (current < 0) {
    pthread_key_t created{};
    const int rc = os_sys.pthread_key_create(&created, threadEnded);
    if (rc != 0) {
      os_posix::setLastErrorFromErrno(rc);
      return false;
    }
    if (g_exitKey.compare_exchange_strong(current, created, std::memory_order_acq_rel)) {
      current = created;
    } else {
      os_sys.pthread_key_delete(created);
    }
  }
  *key = static_cast<pthread_key_t>(current);
  return true;
}

// A new, unsignalled thread object with one reference, and the key of its exit hook.
KernelObject* newThreadObject(pthread_key_t* key) {
  if (!exitKey(key)) {
    return nullptr;
  }
  auto* info = new (std::nothrow) ThreadInfo;
  auto* object =
      info == nullptr ? nullptr : new (std::nothrow) KernelObject{ObjectType::thread,
                                                                  {1},
                                                                  nullptr,
                                                                  nullptr,
                                                                  {{0, 1, true}, nullptr, nullptr},
                                                                  {},
                                                                  info};
  if (object == nullptr) {
    delete info;
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
  }
  return object;
}

void deleteThreadObject(KernelObject* object) {
  delete object->thread;
  delete object;
}

// A handle that takes one more reference on an existing object.
os_handle newHandleOn(KernelObject* object) {
  auto* handle = new (std::nothrow) os_object{object, os_posix::kAccessAll};
  if (handle == nullptr) {
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  object->references.fetch_add(1, std::memory_order_relaxed);
  return handle;
}

// The calling thread's own handle, made (with its exit hook) on first need.
os_handle selfHandle() {
  if (t_self != nullptr) {
    return t_self;
  }
  pthread_key_t key{};
  KernelObject* object = newThreadObject(&key);
  if (object == nullptr) {
    return nullptr;
  }
  object->thread->tid.store(os_sys.gettid(), std::memory_order_relaxed);
  auto* handle = new (std::nothrow) os_object{object, os_posix::kAccessAll};
  const int rc = handle == nullptr ? ENOMEM : os_sys.pthread_setspecific(key, handle);
  if (rc != 0) {
    delete handle;
    deleteThreadObject(object);
    os_posix::setLastErrorFromErrno(rc);
    return nullptr;
  }
  t_self = handle;
  return handle;
}

struct StartBlock {
  os_threadStart start;
  void* argument;
  os_handle self;  // the new thread's own handle
  pthread_key_t exitKey;
};

void* startThread(void* argument) {
  const StartBlock block = *static_cast<StartBlock*>(argument);
  delete static_cast<StartBlock*>(argument);
  // Without the hook (no memory for the key's value) the end is signalled here instead; a
  // thread that leaves through pthread_exit then stays unsignalled.
  const bool hooked = os_sys.pthread_setspecific(block.exitKey, block.self) == 0;
  t_self = block.self;
  std::atomic<pid_t>& tid = block.self->object->thread->tid;
  tid.store(os_sys.gettid(), std::memory_order_release);
  tid.notify_all();
  block.start(block.argument);
  if (!hooked) {
    threadEnded(block.self);
  }
  return nullptr;
}

size_t stackBytes(uint32_t requested) {
  // Windows commits the requested size inside a reservation of at least 1 MiB.
  constexpr size_t kMiB = size_t{1} << 20;
  const size_t rounded = (size_t{requested} + kMiB - 1) / kMiB * kMiB;
  return rounded < kMiB ? kMiB : rounded;
}

ThreadInfo* threadOf(os_handle handle) {
  if (handle == nullptr || handle->object->type != ObjectType::thread) {
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return handle->object->thread;
}

int niceFor(int32_t priority) {
  switch (priority) {
    case -15:
      return 19;
    case -2:
      return 10;
    case -1:
      return 5;
    case 1:
      return -5;
    case 2:
      return -10;
    case 15:
      return -20;
    default:
      return 0;
  }
}

bool isWindowsPriority(int32_t priority) {
  return priority == -15 || priority == 15 || (priority >= -2 && priority <= 2);
}

bool setPriority(ThreadInfo* info, int32_t priority) {
  if (!isWindowsPriority(priority)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  info->priority.store(priority, std::memory_order_relaxed);
  // Best effort: lowering the nice value needs a privilege most processes lack, and Windows
  // would have granted it, so a refusal is not the caller's failure.
  os_sys.setpriority(PRIO_PROCESS, static_cast<id_t>(info->tid.load(std::memory_order_acquire)),
                     niceFor(priority));
  return true;
}

// The processors of the process, read once: a thread's own mask changes when it is pinned.
uint64_t processMask() {
  static std::atomic<uint64_t> cached{0};
  uint64_t mask = cached.load(std::memory_order_acquire);
  uint64_t system = 0;
  if (mask == 0 && os_getProcessAffinityMask(&mask, &system)) {
    cached.store(mask, std::memory_order_release);
  }
  return mask;
}

// Live slot indices: pthread keys are never refused by getspecific, Windows slots are.
constexpr uint32_t kMaxSlots = PTHREAD_KEYS_MAX;
std::atomic<uint64_t> g_liveSlots[kMaxSlots / 64];

bool isLiveSlot(uint32_t index) {
  return index < kMaxSlots &&
         (g_liveSlots[index / 64].load(std::memory_order_acquire) >> (index % 64) & 1u) != 0;
}

}  // namespace

os_handle os_beginThread(uint32_t stackSize, os_threadStart start, void* argument,
                         uint32_t* threadId) {
  pthread_key_t key{};
  KernelObject* object = newThreadObject(&key);
  if (object == nullptr) {
    return nullptr;
  }
  os_handle caller = new (std::nothrow) os_object{object, os_posix::kAccessAll};
  os_handle self = caller == nullptr ? nullptr : newHandleOn(object);
  auto* block =
      self == nullptr ? nullptr : new (std::nothrow) StartBlock{start, argument, self, key};
  int rc = block == nullptr ? ENOMEM : 0;
  if (rc == 0) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
      pthread_attr_setstacksize(&attributes, stackBytes(stackSize));
    }
    pthread_t thread{};
    rc = os_sys.pthread_create(&thread, &attributes, startThread, block);
    pthread_attr_destroy(&attributes);
  }
  if (rc != 0) {
    delete block;
    delete self;
    delete caller;
    deleteThreadObject(object);
    os_posix::setLastErrorFromErrno(rc);
    return nullptr;
  }
  // Windows hands out the id at once; here only the new thread knows it.
  std::atomic<pid_t>& tid = object->thread->tid;
  tid.wait(0, std::memory_order_acquire);
  if (threadId != nullptr) {
    *threadId = static_cast<uint32_t>(tid.load(std::memory_order_acquire));
  }
  os_posix::countHandle();
  return caller;
}

os_handle os_duplicateCurrentThread() {
  os_handle self = selfHandle();
  os_handle handle = self == nullptr ? nullptr : newHandleOn(self->object);
  if (handle != nullptr) {
    os_posix::countHandle();
  }
  return handle;
}

uint32_t os_getCurrentThreadId() {
  return static_cast<uint32_t>(os_sys.gettid());
}

int32_t os_getThreadPriority(os_handle thread) {
  ThreadInfo* info = threadOf(thread);
  return info == nullptr ? OS_THREAD_PRIORITY_ERROR_RETURN
                         : info->priority.load(std::memory_order_relaxed);
}

bool os_setThreadPriority(os_handle thread, int32_t priority) {
  ThreadInfo* info = threadOf(thread);
  return info != nullptr && setPriority(info, priority);
}

int32_t os_getCurrentThreadPriority() {
  // A thread the layer has never seen still runs at the priority it started with.
  return t_self == nullptr ? 0 : os_getThreadPriority(t_self);
}

bool os_setCurrentThreadPriority(int32_t priority) {
  return os_setThreadPriority(selfHandle(), priority);
}

uint64_t os_setThreadAffinityMask(os_handle thread, uint64_t mask) {
  ThreadInfo* info = threadOf(thread);
  if (info == nullptr) {
    return 0;
  }
  const uint64_t process = processMask();
  if (mask == 0 || (mask & ~process) != 0) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return 0;
  }
  return os_posix::swapThreadAffinity(info->tid.load(std::memory_order_acquire), mask);
}

uint32_t os_tlsAlloc() {
  pthread_key_t key{};
  const int rc = os_sys.pthread_key_create(&key, nullptr);
  if (rc != 0) {
    os_posix::setLastErrorFromErrno(rc);
    return OS_TLS_OUT_OF_INDEXES;
  }
  g_liveSlots[key / 64].fetch_or(uint64_t{1} << (key % 64), std::memory_order_acq_rel);
  return key;
}

bool os_tlsFree(uint32_t index) {
  if (!isLiveSlot(index)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  g_liveSlots[index / 64].fetch_and(~(uint64_t{1} << (index % 64)), std::memory_order_acq_rel);
  os_sys.pthread_key_delete(index);
  return true;
}

void* os_tlsGetValue(uint32_t index) {
  if (!isLiveSlot(index)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  void* value = os_sys.pthread_getspecific(index);
  if (value == nullptr) {
    os_setLastError(OS_ERROR_SUCCESS);
  }
  return value;
}

bool os_tlsSetValue(uint32_t index, void* value) {
  if (!isLiveSlot(index)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  const int rc = os_sys.pthread_setspecific(index, value);
  if (rc != 0) {
    os_posix::setLastErrorFromErrno(rc);
    return false;
  }
  return true;
}
