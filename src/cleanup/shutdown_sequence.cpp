// The shutdown call: the early stage at once, in the calling thread, after that thread's own
// end; the final stage when the last postponement comes back (possibly right here).
#include "cleanup/shutdown_internal.h"
#include "csys_thread.h"
#include "diag/check.h"
#include "thread/thread_local_internal.h"

extern "C" {

CSYS_API csys_status csys_shutdown(void) {
  bool elected = false;
  const csys_status requested = csys_shutdown_request(&elected);
  if (!elected) return requested;
  // A failure here keeps the request's postponement: the final stage then never runs.
  int32_t hasBlock = 0;
  CSYS_RETURN_IF_FAILED(csys_threadLocal_hasBlock(&hasBlock));
  if (hasBlock != 0) CSYS_RETURN_IF_FAILED(csys_thread_cleanup());
  return csys_shutdown_finishRequest();
}

}  // extern "C"
