/* Threads: counted handles on thread records, thread creation and the wait for a thread's end,
 * per-thread values with destructors, the current thread, priorities and affinity, cleanups
 * run when a thread ends, and the shutdown call. */
#ifndef CSYS_THREAD_H
#define CSYS_THREAD_H

#include "cstd_shared.h"
#include "csys_status.h"
#include "qzsf_rep.h"

CSYS_EXTERN_C_BEGIN

/* One reference on a thread record, or empty. Construct before use; one handle must not be
 * changed by two threads at once. */
typedef struct csys_thread {
  qzsfPtrHandle handle;
} csys_thread;

/* A thread's function; its result is not used. */
typedef uint32_t (*csys_threadFunc)(void* argument);

/* Priorities on the library's scale: 0 idle ... 4 normal ... 7 time critical. */
#define CSYS_THREAD_PRIORITY_FROM_CREATOR (-1)
#define CSYS_THREAD_STACK_DEFAULT 0xFFFFFFFFu

typedef struct csys_threadCreateParams {
  int32_t priority;   /* 0-7, or CSYS_THREAD_PRIORITY_FROM_CREATOR */
  uint32_t stackSize; /* bytes, or CSYS_THREAD_STACK_DEFAULT */
  const char* name;   /* kept, not copied: must outlive the thread */
} csys_threadCreateParams;

/* Attention lists: every thread record holds a doubly linked list of entries headed by an entry
 * of its own (id 0xFFFFFFFF, no data, no check); new entries go in at the front. */
typedef struct csys_attentionResult {
  uint32_t done;      /* non-zero: the entry leaves the list */
  csys_status status; /* what the entry reports, 0 for nothing */
} csys_attentionResult;

typedef csys_status (*csys_attentionCheckFunc)(void* data, csys_attentionResult* result);

typedef struct csys_attentionEntry {
  cstd_ptrh data;
  csys_attentionCheckFunc check;
  uint32_t id;
  struct csys_attentionEntry* prev;
  struct csys_attentionEntry* next;
} csys_attentionEntry;

/* Handles. */
CSYS_API csys_status csys_thread_construct(csys_thread* thread);
CSYS_API csys_status csys_thread_destruct(csys_thread* thread);
CSYS_API csys_status csys_thread_constructCopy(csys_thread* thread, const csys_thread* source);
CSYS_API csys_status csys_thread_assign(csys_thread* thread, const csys_thread* source);
CSYS_API csys_status csys_thread_new(csys_thread** thread);
CSYS_API csys_status csys_thread_delete(csys_thread** thread);
/* 0 for the same record (or two empty handles), -1 when a's record is below b's, else 1. */
CSYS_API csys_status csys_thread_compare(const csys_thread* a, const csys_thread* b,
                                         int32_t* result);
/* 0xFFFFFFFF until the thread has been started. */
CSYS_API csys_status csys_thread_getOSIdentifier(const csys_thread* thread, uint32_t* id);
/* The handle stays owned by the record. */
CSYS_API csys_status csys_thread_getOSHandle(const csys_thread* thread, void** osHandle);

/* Creation and termination. */
CSYS_API csys_status csys_threadCreateParams_init(csys_threadCreateParams* params);
/* params may be null (creator's priority, default stack, no name); out may be null, else a
 * constructed handle that receives the new thread. */
CSYS_API csys_status csys_thread_create(csys_threadFunc func, void* argument,
                                        const csys_threadCreateParams* params, csys_thread* out);
CSYS_API csys_status csys_thread_waitForTermination(const csys_thread* thread);
/* For threads the library did not start; such a thread calls csys_thread_cleanup before it
 * ends. */
CSYS_API csys_status csys_thread_notifyCreate(void);
CSYS_API csys_status csys_thread_getInitialThreadPriority(int32_t kind, int32_t* priority);

/* Current thread, priority and affinity. */
CSYS_API csys_status csys_thread_constructCurrent(csys_thread* thread);
CSYS_API csys_status csys_thread_getCurrentThread(csys_thread* thread);
CSYS_API csys_status csys_thread_getCurrentThreadOSIdentifier(uint32_t* id);
CSYS_API csys_status csys_thread_getCurrentThreadName(const char** name);
CSYS_API csys_status csys_thread_getPriority(const csys_thread* thread, int32_t* priority);
CSYS_API csys_status csys_thread_setPriority(const csys_thread* thread, int32_t priority);
CSYS_API csys_status csys_thread_getCurrentPriority(int32_t* priority);
CSYS_API csys_status csys_thread_setCurrentPriority(int32_t priority);
/* Processors 0-31; a mask with no processor of the process is refused. */
CSYS_API csys_status csys_thread_setAffinity(const csys_thread* thread, uint32_t mask);

/* Thread-local values. Keys are allocated once per caller variable under its once flag. */
typedef csys_status (*csys_threadLocalDestroyFunc)(void* value);
CSYS_API csys_status csys_threadLocal_alloc(uint32_t* key, int32_t* onceFlag);
CSYS_API csys_status csys_threadLocal_getValue(uint32_t key, uintptr_t* value);
/* destroy(value) when the thread ends or the value is replaced. */
CSYS_API csys_status csys_threadLocal_setValueObj(uint32_t key, uintptr_t value,
                                                  csys_threadLocalDestroyFunc destroy);
/* destroy(&storedValue), so that a function such as csys_memory_free_internal fits. */
CSYS_API csys_status csys_threadLocal_setValuePtr(uint32_t key, uintptr_t value,
                                                  csys_status (*destroy)(void** value));

/* Operating-system thread-local slots. */
CSYS_API csys_status qzf_OSThreadLocalAlloc(uint32_t* index);
CSYS_API csys_status qzf_OSThreadLocalFree(uint32_t index);
CSYS_API csys_status qzf_OSThreadLocalValueGet(uint32_t index, void** value);
CSYS_API csys_status qzf_OSThreadLocalValueSet(uint32_t index, void* value);

/* Cleanups run when a thread ends. */
typedef csys_status (*csys_threadCleanupFunc)(void* arg);
CSYS_API csys_status csys_thread_cleanup_register(csys_threadCleanupFunc func, void* arg);
/* thread null: the calling thread. */
CSYS_API csys_status csys_thread_cleanup_registerOther(const csys_thread* thread,
                                                       csys_threadCleanupFunc func, void* arg);
/* The end of a thread the library did not start (started threads run it themselves). */
CSYS_API csys_status csys_thread_cleanup(void);

/* Ends the library: 0 done, CSYS_SHUTDOWN_POSTPONED (the last library thread to end finishes
 * it), CSYS_SHUTDOWN_ALREADY_DONE, CSYS_SHUTDOWN_IN_PROGRESS. */
CSYS_API csys_status csys_shutdown(void);

CSYS_DECLARE_TYPE_CHECKS(csys_thread)

CSYS_EXTERN_C_END

#endif /* CSYS_THREAD_H */
