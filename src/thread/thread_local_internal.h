// The per-thread block: one per thread that uses the library's per-thread state, reached
// through one operating-system slot. Only its own thread touches a block.
#pragma once

#include "csys_cleanup.h"
#include "csys_thread.h"

struct csys_threadRecord;

// Entries always have id 0; flags 0 (empty) or CSYS_CLEANUP_RUN_ALWAYS | CALL_OBJ / CALL_ENTRY.
struct csys_threadLocalTable {
  int32_t count;
  int32_t capacity;
  csys_cleanupEntry* entries;
};

struct csys_threadLocalBlock {
  csys_thread thread;  // the thread's own handle: one reference for the block's life
  csys_threadLocalTable values;
  csys_threadLocalTable cleanups;
};

// The calling thread's block (null in *block when it has none and `create` is 0). With
// `create` 1 a missing block is made, bound to `record` when given (a thread started by the
// library) or to a new record for the calling thread; each new block holds one shutdown
// postponement. `block` may be null.
csys_status csys_threadLocal_getBlock(csys_threadLocalBlock** block, int32_t create,
                                      csys_threadRecord* record);
csys_status csys_threadLocal_hasBlock(int32_t* hasBlock);
csys_status csys_threadLocal_addCleanup(csys_threadCleanupFunc func, void* object);
// The end of the calling thread's block: cleanups, then values, newest first; then the handle.
csys_status csys_threadLocal_releaseBlock();
// The final shutdown's step: frees the slot; later block requests fail with CSYS_E_SHUT_DOWN.
csys_status csys_threadLocal_releaseSlot();
