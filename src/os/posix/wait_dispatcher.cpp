// The dispatcher: one process-wide lock guards the state of every unnamed semaphore and event and
// the queues of threads waiting for them. A waiter that finds none of its objects signalled
// queues a link on each and sleeps on its own condition variable; whoever signals an object hands
// it to the queued waiters in arrival order, unqueues them and wakes them. One lock means no lock
// ordering, and wait-one, wait-any and time-outs are the same routine.
#include <pthread.h>

#include <array>
#include <cerrno>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"

namespace os_posix {

namespace {
struct WaitBlock;
}  // namespace

// A waiter's place in the queue of one object.
struct WaitLink {
  WaitLink* previous;
  WaitLink* next;
  WaitBlock* block;
};

namespace {

constexpr uint32_t kUnsatisfied = OS_WAIT_FAILED;

pthread_mutex_t g_dispatcherLock = PTHREAD_MUTEX_INITIALIZER;

// One waiting thread, on its stack.
struct WaitBlock {
  pthread_cond_t wake = PTHREAD_COND_INITIALIZER;
  Waitable* const* objects;
  uint32_t count;
  uint32_t result = kUnsatisfied;  // set by the signaller that hands this waiter an object
  std::array<WaitLink, OS_MAXIMUM_WAIT_OBJECTS> links;
};

void enqueue(Waitable& object, WaitLink& link) {
  link.previous = object.last;
  link.next = nullptr;
  if (object.last != nullptr) {
    object.last->next = &link;
  } else {
    object.first = &link;
  }
  object.last = &link;
}

void unqueueAll(WaitBlock& block) {
  for (uint32_t i = 0; i < block.count; ++i) {
    Waitable& object = *block.objects[i];
    WaitLink& link = block.links[i];
    (link.previous != nullptr ? link.previous->next : object.first) = link.next;
    (link.next != nullptr ? link.next->previous : object.last) = link.previous;
  }
}

// Hands a newly signalled object to its waiters, first come first served, while it stays
// signalled. The waiters' other objects are unsignalled (the queue invariant), so the index each
// one gets is its lowest signalled one.
void satisfyWaiters(Waitable& object) {
  while (object.first != nullptr && isSignalled(object.state)) {
    WaitLink* link = object.first;
    WaitBlock& block = *link->block;
    consume(object.state);
    block.result = OS_WAIT_OBJECT_0 + static_cast<uint32_t>(link - block.links.data());
    unqueueAll(block);
    os_sys.pthread_cond_signal(&block.wake);
  }
}

}  // namespace

uint32_t dispatchWait(Waitable* const* objects, uint32_t count, uint32_t milliseconds) {
  const bool infinite = isInfinite(milliseconds);
  timespec deadline{};
  if (milliseconds != 0 && !infinite && !deadlineAfter(milliseconds, &deadline)) {
    return OS_WAIT_FAILED;
  }
  os_sys.pthread_mutex_lock(&g_dispatcherLock);
  for (uint32_t i = 0; i < count; ++i) {
    if (isSignalled(objects[i]->state)) {
      consume(objects[i]->state);
      os_sys.pthread_mutex_unlock(&g_dispatcherLock);
      return OS_WAIT_OBJECT_0 + i;
    }
  }
  if (milliseconds == 0) {
    os_sys.pthread_mutex_unlock(&g_dispatcherLock);
    return OS_WAIT_TIMEOUT;
  }
  WaitBlock block;
  block.objects = objects;
  block.count = count;
  for (uint32_t i = 0; i < count; ++i) {
    block.links[i].block = &block;
    enqueue(*objects[i], block.links[i]);
  }
  while (block.result == kUnsatisfied) {
    const int rc = infinite ? os_sys.pthread_cond_wait(&block.wake, &g_dispatcherLock)
                            : os_sys.pthread_cond_clockwait(&block.wake, &g_dispatcherLock,
                                                            CLOCK_MONOTONIC, &deadline);
    if (rc == ETIMEDOUT && block.result == kUnsatisfied) {
      unqueueAll(block);
      block.result = OS_WAIT_TIMEOUT;
    }
  }
  os_sys.pthread_mutex_unlock(&g_dispatcherLock);
  os_sys.pthread_cond_destroy(&block.wake);
  return block.result;
}

bool dispatchChange(Waitable& object, StateChange change, int32_t releaseCount,
                    int32_t* previousCount) {
  os_sys.pthread_mutex_lock(&g_dispatcherLock);
  const bool changed = applyChange(object.state, change, releaseCount, previousCount);
  satisfyWaiters(object);
  os_sys.pthread_mutex_unlock(&g_dispatcherLock);
  return changed;
}

}  // namespace os_posix
