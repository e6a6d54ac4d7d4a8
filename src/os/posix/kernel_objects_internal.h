// Kernel objects of the POSIX backend: the pieces that kernel_objects.cpp, wait_dispatcher.cpp
// and named_objects.cpp share.
//
// A handle (os_object) names one object with an access mask. An object is reference counted and
// comes in three shapes:
// - mutexes are robust recursive pthread mutexes, in the object or in shared memory when named;
// - unnamed semaphores and events are "dispatcher" objects: their state is guarded by one
//   process-wide lock, and waiters (one or several objects at a time) sleep on their own
//   condition variable until a signaller hands them an object;
// - named semaphores and events keep their state in shared memory, guarded by a process-shared
//   robust mutex, with a process-shared condition variable.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "os/os.h"
#include "os/posix/last_error.h"

namespace os_posix {

enum class ObjectType : uint32_t { mutex = 1, semaphore = 2, event = 3, thread = 4 };

// Access rights, numbered as on Windows.
inline constexpr uint32_t kAccessModifyState = 0x00000002u;
inline constexpr uint32_t kAccessSynchronize = 0x00100000u;
inline constexpr uint32_t kAccessAll = 0x001F0003u;

// The state of a semaphore or an event: an event is a semaphore with maximum 1 whose waits do not
// consume it when it is manual-reset.
struct WaitableState {
  int32_t count;
  int32_t maximum;
  bool manualReset;
};

inline bool isSignalled(const WaitableState& state) {
  return state.count > 0;
}

// A successful wait takes one unit, except from a manual-reset object.
inline void consume(WaitableState& state) {
  if (!state.manualReset) {
    --state.count;
  }
}

enum class StateChange { release, set, reset };

// Applies a release (of `releaseCount`, reporting the previous count), set or reset. A release
// that would pass the maximum fails with OS_ERROR_TOO_MANY_POSTS and changes nothing.
bool applyChange(WaitableState& state, StateChange change, int32_t releaseCount,
                 int32_t* previousCount);

struct WaitLink;

// A dispatcher object's state and the queue of threads waiting for it, both guarded by the
// dispatcher lock. Invariant: an object with queued waiters is not signalled. Another waitable
// type (a thread object, signalled for good when its thread ends) is one more dispatcher object:
// a manual-reset state that dispatchChange sets.
struct Waitable {
  WaitableState state;
  WaitLink* first;
  WaitLink* last;
};

struct NamedObject;
// What a thread object knows beyond its waitable state (threads.cpp).
struct ThreadInfo;
void destroyThreadInfo(ThreadInfo* info);

struct KernelObject {
  ObjectType type;
  std::atomic<uint32_t> references;
  pthread_mutex_t* mutex;        // mutexes: `ownMutex`, or the one in shared memory when named
  NamedObject* named;            // null for unnamed objects
  Waitable waitable;             // unnamed semaphores and events
  pthread_mutex_t ownMutex;      // unnamed mutexes
  ThreadInfo* thread = nullptr;  // thread objects: a manual-reset waitable set when it ends
};

// The parameters of a creation.
struct ObjectParams {
  ObjectType type;
  bool initialOwner;      // mutexes
  WaitableState initial;  // semaphores and events
};

bool isInfinite(uint32_t milliseconds);
// The monotonic time `milliseconds` from now; false with the last error set when the clock fails.
bool deadlineAfter(uint32_t milliseconds, timespec* deadline);

// Robust mutexes (recursive for kernel mutexes; process-shared in shared memory).
bool initRobustMutex(pthread_mutex_t* mutex, bool recursive, bool processShared);
// Called when the last handle of this process to a mutex object closes: releases what the
// calling thread holds. Returns false when another thread of this process still holds the mutex,
// whose memory must then stay (its owner's robust list points into it).
bool releaseForDisposal(pthread_mutex_t* mutex);

// The dispatcher (wait_dispatcher.cpp). dispatchWait returns OS_WAIT_OBJECT_0 plus the index of
// the acquired object, OS_WAIT_TIMEOUT or OS_WAIT_FAILED.
uint32_t dispatchWait(Waitable* const* objects, uint32_t count, uint32_t milliseconds);
bool dispatchChange(Waitable& object, StateChange change, int32_t releaseCount,
                    int32_t* previousCount);

// Handles (kernel_objects.cpp). Every handle a caller receives counts towards
// os_openHandleCount until os_closeHandle; a thread's own handle, which this layer keeps for
// the thread and closes at its end with closeOwnHandle, does not.
void countHandle();
void closeOwnHandle(os_handle handle);

// Named objects (named_objects.cpp). namedAcquire creates (`params` given) or opens (`type`
// only) the object of that name and returns it with one reference for the caller; `existed`
// tells whether creation found it. Null with the last error set on failure.
KernelObject* namedAcquire(const char* name, ObjectType type, const ObjectParams* params,
                           bool* existed);
void namedRelease(KernelObject* object);
uint32_t namedWait(KernelObject* object, uint32_t milliseconds);
bool namedChange(KernelObject* object, StateChange change, int32_t releaseCount,
                 int32_t* previousCount);
// The shared-memory name ("/pmt.<uid>.<escaped>") of an object name; false with
// OS_ERROR_INVALID_PARAMETER for a name that cannot be mapped.
bool sharedMemoryName(const char* name, std::string* shmName);

}  // namespace os_posix

// A handle: the object and what this handle may do with it.
struct os_object {
  os_posix::KernelObject* object;
  uint32_t access;
};
