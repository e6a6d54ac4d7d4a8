/* Critical sections, and kernel-style mutexes, semaphores and events. Objects are allocated
 * by the caller and managed by _construct / _destruct pairs; destruct is idempotent. */
#ifndef CSYS_SYNC_H
#define CSYS_SYNC_H

#include "csys_resource.h"
#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* An init or protected function: one untyped context, a status back. */
typedef csys_status (*csys_initFunc)(void* context);

/* Wait forever (csys_*_waitTimeout). */
#define CSYS_WAIT_INFINITE 0x7FFFFFFFu

/* A process-local recursive lock; `os` is null when not constructed. */
typedef struct csys_criticalSection {
  void* os;
  csys_resourceId resourceId;
} csys_criticalSection;

/* The same lock as a distinct type (the library guards thread objects with it). */
typedef struct csys_criticalSection2 {
  void* os;
  csys_resourceId resourceId;
} csys_criticalSection2;

typedef struct csys_mutex {
  void* handle;
  uint32_t created; /* 1 if this construction created the OS object */
  csys_resourceId resourceId;
} csys_mutex;

typedef struct csys_semaphore {
  void* handle;
  uint32_t created;
  uint32_t maximumCount;
  csys_resourceId resourceId;
} csys_semaphore;

typedef struct csys_event {
  void* handle;
  uint32_t created;
  csys_resourceId resourceId;
} csys_event;

/* Constructs the lock in the caller's record (the OS lock lives in a block the library
 * allocates) and counts it for leak tracking. CSYS_E_OUT_OF_MEMORY, CSYS_E_INVALID_ARGUMENT;
 * on failure nothing stays allocated. constructSpin: a spin count below 0 is
 * CSYS_E_INVALID_ARGUMENT, a refusal by the OS CSYS_E_OS. */
CSYS_API csys_status csys_criticalSection_construct(csys_criticalSection* cs);
CSYS_API csys_status csys_criticalSection_constructSpin(csys_criticalSection* cs,
                                                        int32_t spinCount);
/* Frees the lock; a record never constructed, or already destructed, is nothing to do. */
CSYS_API csys_status csys_criticalSection_destruct(csys_criticalSection* cs);
/* Enters (recursively; waits without limit); *acquired 1, and may be null. Leave each entry with
 * one release. An unconstructed lock is CSYS_E_INVALID_ARGUMENT. */
CSYS_API csys_status csys_criticalSection_wait(csys_criticalSection* cs, int32_t* acquired);
CSYS_API csys_status csys_criticalSection_release(csys_criticalSection* cs);
/* Runs fn(context) inside the lock and returns its status (or the release's failure). */
CSYS_API csys_status csys_criticalSection_protect(csys_criticalSection* cs, csys_initFunc fn,
                                                  void* context);

CSYS_API csys_status csys_criticalSection2_construct(csys_criticalSection2* cs);
CSYS_API csys_status csys_criticalSection2_destruct(csys_criticalSection2* cs);
CSYS_API csys_status csys_criticalSection2_wait(csys_criticalSection2* cs, int32_t* acquired);
CSYS_API csys_status csys_criticalSection2_release(csys_criticalSection2* cs);

/* Kernel objects, shared by every family below:
 * - _construct creates an unnamed object; _constructNamed creates or opens the object of that
 *   name in the machine-wide namespace (`created` 1 when this call made it). With allowExisting
 *   0 an existing object is refused with CSYS_E_OS and nothing stays open. A name the platform
 *   cannot hold, or one held by another type, is CSYS_E_OS too.
 * - _constructNamedExists opens an existing object for waiting only (not for releasing or
 *   setting); none of that name: CSYS_E_OS. An empty name is CSYS_E_INVALID_ARGUMENT.
 * - Waits: a time-out or a failed try returns 0 with *acquired 0 (acquired may be null). An
 *   unconstructed object is CSYS_E_INVALID_ARGUMENT, a failing OS call CSYS_E_OS.
 * - _destruct closes the caller's handle (the object lives while any process holds one). */

/* Mutexes: recursive, owned by a thread, optionally named (machine-wide). A wait that times out
 * returns 0 with *acquired 0; a mutex abandoned by an ended owner is acquired normally. *owned
 * is 1 when initialOwner was asked and this call created the mutex. */
CSYS_API csys_status csys_mutex_construct(csys_mutex* m, int32_t initialOwner, int32_t* owned);
CSYS_API csys_status csys_mutex_constructNamed(csys_mutex* m, const char* name,
                                               int32_t allowExisting, int32_t initialOwner,
                                               int32_t* owned);
CSYS_API csys_status csys_mutex_constructNamedExists(csys_mutex* m, const char* name);
CSYS_API csys_status csys_mutex_destruct(csys_mutex* m);
CSYS_API csys_status csys_mutex_wait(csys_mutex* m, int32_t* acquired);
CSYS_API csys_status csys_mutex_waitTry(csys_mutex* m, int32_t* acquired);
CSYS_API csys_status csys_mutex_waitTimeout(csys_mutex* m, uint32_t timeoutMs, int32_t* acquired);
/* Releases one acquisition; a mutex the calling thread does not own is CSYS_E_OS. */
CSYS_API csys_status csys_mutex_unlock(csys_mutex* m);
/* Runs fn(context) holding the mutex and returns its status (or the unlock's failure). */
CSYS_API csys_status csys_mutex_protect(csys_mutex* m, csys_initFunc fn, void* context);

/* Semaphores: counts from 0 to maximumCount; a wait takes one, release gives one back (beyond
 * the maximum: CSYS_E_OS). */
CSYS_API csys_status csys_semaphore_construct(csys_semaphore* s, int32_t initialCount,
                                              int32_t maximumCount);
CSYS_API csys_status csys_semaphore_constructNamed(csys_semaphore* s, const char* name,
                                                   int32_t allowExisting, int32_t initialCount,
                                                   int32_t maximumCount);
CSYS_API csys_status csys_semaphore_constructNamedExists(csys_semaphore* s, const char* name);
CSYS_API csys_status csys_semaphore_destruct(csys_semaphore* s);
CSYS_API csys_status csys_semaphore_release(csys_semaphore* s);
CSYS_API csys_status csys_semaphore_wait(csys_semaphore* s, int32_t* acquired);
CSYS_API csys_status csys_semaphore_waitTry(csys_semaphore* s, int32_t* acquired);
CSYS_API csys_status csys_semaphore_waitTimeout(csys_semaphore* s, uint32_t timeoutMs,
                                                int32_t* acquired);

/* Events: set signals it; a manual-reset event stays signalled until reset, an auto-reset one
 * lets exactly one waiter through and resets itself. */
CSYS_API csys_status csys_event_construct(csys_event* e, int32_t manualReset, int32_t initialState);
CSYS_API csys_status csys_event_constructNamed(csys_event* e, const char* name,
                                               int32_t allowExisting, int32_t manualReset,
                                               int32_t initialState);
CSYS_API csys_status csys_event_constructNamedExists(csys_event* e, const char* name);
CSYS_API csys_status csys_event_destruct(csys_event* e);
CSYS_API csys_status csys_event_set(csys_event* e);
CSYS_API csys_status csys_event_reset(csys_event* e);
CSYS_API csys_status csys_event_wait(csys_event* e, int32_t* acquired);
CSYS_API csys_status csys_event_waitTry(csys_event* e, int32_t* acquired);
CSYS_API csys_status csys_event_waitTimeout(csys_event* e, uint32_t timeoutMs, int32_t* acquired);

/* Once-initialization: runs init(context) once per flag (a caller-owned 0, set to 1 after a
 * successful init; a failing init leaves it 0 and is retried). All once-initializations are
 * serialized by one recursive process-wide mutex, so an init may start others. */
CSYS_API csys_status csys_initializeOnce(csys_initFunc init, void* context, int32_t* flag);
/* Once per flag: constructs the critical section and registers its destruction at shutdown.
 * Failures of the construction or registration are returned, the flag left 0. */
CSYS_API csys_status csys_criticalSection_constructSingleton(csys_criticalSection* cs,
                                                             int32_t* flag);
/* The process-wide recursive mutex, created on first use; after shutdown CSYS_E_FAIL. The
 * library owns it: do not destruct it. */
CSYS_API csys_status csys_mutex_getGlobal(csys_mutex** mutex);
CSYS_API csys_status csys_mutex_protectGlobal(csys_initFunc fn, void* context);

CSYS_DECLARE_TYPE_CHECKS(csys_criticalSection)
CSYS_DECLARE_TYPE_CHECKS(csys_criticalSection2)
CSYS_DECLARE_TYPE_CHECKS(csys_mutex)
CSYS_DECLARE_TYPE_CHECKS(csys_semaphore)
CSYS_DECLARE_TYPE_CHECKS(csys_event)

CSYS_EXTERN_C_END

#endif /* CSYS_SYNC_H */
