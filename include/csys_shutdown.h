/* Shutdown registry: teardown functions for the early and the final stage of shutdown, and the
 * postponements that hold the final stage back. */
#ifndef CSYS_SHUTDOWN_H
#define CSYS_SHUTDOWN_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* A teardown function, called once with its registered argument. */
typedef csys_status (*csys_shutdownFunc)(void* arg);

/* Final stage, newest first. Fails with CSYS_E_SHUT_DOWN after the final stage has run. */
CSYS_API csys_status csys_shutdown_register(csys_shutdownFunc func, void* arg);
/* Early stage, newest first, in the thread that shuts down. */
CSYS_API csys_status csys_shutdown_registerEarly(csys_shutdownFunc func, void* arg);
/* Holds the final stage back until the matching decrement; CSYS_E_SHUT_DOWN once it has run. */
CSYS_API csys_status csys_shutdownPostponementIncrement(void);
/* Gives one back; the last one after a shutdown request runs the final stage here, and
 * CSYS_SHUTDOWN_POSTPONED tells that others still hold it back. */
CSYS_API csys_status csys_shutdownPostponementDecrement(void);

CSYS_EXTERN_C_END

#endif /* CSYS_SHUTDOWN_H */
