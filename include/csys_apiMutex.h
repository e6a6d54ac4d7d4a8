/* The API mutex: a recursive lock whose waiters are queued by operating-system thread priority
 * (highest first, first come first served among equals). While it holds the lock the owner runs
 * at least at the priority of the most urgent waiter that queued behind it; its last unlock
 * returns it to the priority it had when it acquired the lock. */
#ifndef CSYS_APIMUTEX_H
#define CSYS_APIMUTEX_H

#include "csys_sync.h"
#include "csys_thread.h"

CSYS_EXTERN_C_BEGIN

/* One per waiting thread, on that thread's stack while it waits. */
typedef struct csys_apiMutexWaiter {
  struct csys_apiMutexWaiter* next; /* less or equally urgent */
  struct csys_apiMutexWaiter* prev; /* null for the first */
  int32_t priority;                 /* the waiter's OS priority when it queued */
  csys_semaphore wakeup;            /* count 0, maximum 1 */
} csys_apiMutexWaiter;

typedef struct csys_apiMutex {
  csys_mutex lock;         /* guards the fields below; never held while a caller owns the lock */
  csys_thread owner;       /* empty when free */
  int32_t basePriority;    /* the owner's priority when it acquired; -1 when free */
  int32_t boostedPriority; /* what the owner was raised to; -1 when free */
  int32_t count;           /* recursion depth; 0 when free */
  csys_apiMutexWaiter* queue;
} csys_apiMutex;

/* lockNow non-zero: returns owning the lock (arg is passed on to the wait). */
CSYS_API csys_status csys_apiMutex_construct(csys_apiMutex* am, int32_t lockNow, uintptr_t arg);
/* The lock must be free and have no waiters. */
CSYS_API csys_status csys_apiMutex_destruct(csys_apiMutex* am);
/* No time-out: returns owning the lock, or with a failure. arg is not used. */
CSYS_API csys_status csys_apiMutex_wait(csys_apiMutex* am, uintptr_t arg);
/* CSYS_E_OS (0x800000c2) when the caller is not the owner. */
CSYS_API csys_status csys_apiMutex_unlock(csys_apiMutex* am);

CSYS_EXTERN_C_END

#endif /* CSYS_APIMUTEX_H */
