// The shutdown registry's internal interface: the registry lock for the thread cleanup
// registry, and the stages of shutdown for the shutdown call.
#pragma once

#include "cstd_shared.h"
#include "csys_status.h"

// The requested flag, for thread creation, which refuses to start threads once it is set.
csys_status csys_shutdown_getIsRequested(int32_t* requested);
bool csys_shutdown_isDone();

// A reference on the registry lock object (created on first use); CSYS_E_SHUT_DOWN after the
// final stage.
csys_status csys_shutdown_acquireLock(cstd_ptrh* handle);
csys_status csys_shutdown_lock(cstd_ptrh* handle, int32_t* locked);
csys_status csys_shutdown_unlock(cstd_ptrh* handle);
// Runs work(context) under the registry lock, through a reference of its own; a failure to take
// the lock is returned without running it.
csys_status csys_shutdown_withLock(csys_status (*work)(void* context), void* context);

// The shutdown call in two halves, around the calling thread's own cleanup: the first elects
// the one call that shuts down (others get CSYS_SHUTDOWN_ALREADY_DONE or
// CSYS_SHUTDOWN_IN_PROGRESS with *elected false) and takes its postponement; the second runs
// the early stage and gives the postponement back, which may run the final stage.
csys_status csys_shutdown_request(bool* elected);
csys_status csys_shutdown_finishRequest();

csys_status csys_shutdown_runEarly();
csys_status csys_shutdown_runFinal();
