/* Work state for a caller's work manager, kept on each thread record: whether the thread hands
 * work to a work manager, whether it is a worker (with an id and a shared context), a sequence
 * counter and the thread's work group. The library only stores it. The handles in it must not
 * be set from two threads at once, nor read while another thread sets them. */
#ifndef CSYS_THREAD_WORK_H
#define CSYS_THREAD_WORK_H

#include "cstd_shared.h"
#include "csys_thread.h"

CSYS_EXTERN_C_BEGIN

/* workerId, sequence and context may be null; sequence receives the counter after one atomic
 * increment; context must be a constructed handle and receives its own reference. */
CSYS_API csys_status csys_thread_getWorkState(const csys_thread* thread, uint32_t* useWorkManager,
                                              uint32_t* isWorkerThread, int32_t* workerId,
                                              uint32_t* sequence, cstd_ptrh* context);
/* The same for the calling thread (its record is made on first use). */
CSYS_API csys_status csys_threadGetCurrentThreadWorkState(uint32_t* useWorkManager,
                                                          uint32_t* isWorkerThread,
                                                          int32_t* workerId, uint32_t* sequence,
                                                          cstd_ptrh* context);
/* isWorker 0 resets the id to -1 and drops the context; else context is required (a null one
 * leaves flag and id set and returns CSYS_E_INVALID_ARGUMENT). */
CSYS_API csys_status csys_thread_setIsWorkerThread(const csys_thread* thread, uint32_t isWorker,
                                                   int32_t workerId, const cstd_ptrh* context);
CSYS_API csys_status csys_thread_setUseWorkManager(const csys_thread* thread, uint32_t use);
CSYS_API csys_status csys_thread_getUseWorkManager(const csys_thread* thread, uint32_t* use);
CSYS_API csys_status csys_thread_setWorkThreadGroup(const csys_thread* thread,
                                                    const cstd_ptrh* group);
CSYS_API csys_status csys_thread_getWorkThreadGroup(const csys_thread* thread, cstd_ptrh* group);

CSYS_EXTERN_C_END

#endif /* CSYS_THREAD_WORK_H */
