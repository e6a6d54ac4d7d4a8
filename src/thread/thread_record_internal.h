// The thread record and what the rest of the library may do with it. A record is shared through
// csys_thread handles (a counted header at its start); the thread's own per-thread block holds
// one handle for as long as the thread runs, so the calling thread's record is reached without
// a lock or an allocation once the block exists (csys_thread_getCurrentRecord).
//
// Locking: `lock` guards `attention`, `isProxy`, `proxyFor` and the end of the thread. Never
// hold two records' locks at once. `finished` is written once (0 -> 1) at the thread's end and
// read without the lock through csys_thread_isFinished. The work-state words are changed with
// atomic exchanges; osHandle and osThreadId are written before the record is shared or once by
// the creator right after the start.
#pragma once

#include "cleanup/cleanup_internal.h"
#include "cstd_shared.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "os/os.h"
#include "qzsf_rep.h"

// The library's thread main: receives the heap handle handed to the new thread.
using csys_threadMainFunc = csys_status (*)(csys_thread* heapHandle);

struct csys_threadRecord {
  qzsfRepBase rep;  // destroy = csys_thread_destroyRecord, obj = the record
  os_handle osHandle;
  uint32_t osThreadId;  // 0xFFFFFFFF until known
  os_handle spareSemaphore;
  os_handle startedSemaphore;   // released once by a new thread bound to its record
  os_handle finishedSemaphore;  // released once at the thread's end
  uint32_t finished;            // 1 once the thread has ended
  csys_criticalSection2 lock;
  csys_attentionEntry* attention;  // the list header; null once destroyed
  uint32_t isProxy;
  csys_thread proxyFor;
  uint32_t useWorkManager;  // 1
  uint32_t isWorkerThread;  // 0
  int32_t workerId;         // -1
  uint32_t workSequence;    // 0
  cstd_ptrh workerContext;
  cstd_ptrh workThreadGroup;
  csys_threadCreateParams params;
  csys_threadMainFunc main;
  csys_threadFunc entry;
  void* entryArg;
};

inline constexpr uint32_t CSYS_THREAD_ID_UNKNOWN = 0xFFFFFFFFu;

// Makes a record (for the calling thread when `currentThread` is 1, else for a thread still to be
// started) and stores the first handle on it in `thread`, which must be empty.
csys_status csys_thread_createRecord(csys_thread* thread, uint32_t currentThread);
// The record behind a handle, null for an empty handle (not an error here; callers that need a
// record turn null into CSYS_E_NO_THREAD_RECORD).
csys_status csys_thread_getRecord(const csys_thread* thread, csys_threadRecord** record);
// The record, or CSYS_E_NO_THREAD_RECORD for an empty handle, CSYS_E_INVALID_ARGUMENT for null.
csys_status csys_thread_requireRecord(const csys_thread* thread, csys_threadRecord** record);

// The calling thread's record, made with its per-thread block on first use. The block keeps the
// reference: the caller holds none. After the first call: one slot read, no lock, no allocation.
csys_status csys_thread_getCurrentRecord(csys_threadRecord** record);

bool csys_thread_isFinished(const csys_threadRecord* record);
// osHandle and osThreadId as another thread sees them: the creator stores them while the new
// thread may already run.
os_handle csys_thread_loadOSHandle(const csys_threadRecord* record);
uint32_t csys_thread_loadOSThreadId(const csys_threadRecord* record);

// Raw Windows priorities of a record's thread (also for the API mutex).
csys_status csys_thread_getOSPriority(const csys_thread* thread, int32_t* priority);
csys_status csys_thread_setOSPriority(const csys_thread* thread, int32_t priority);

// Attention lists (the list header lives in the record's `attention`).
csys_status csys_attentionList_createOrReset(csys_attentionEntry** holder);
csys_status csys_attentionList_clear(csys_attentionEntry* header);
csys_status csys_attentionList_destroy(csys_attentionEntry** holder);
