/* Every public header of the library. */
#ifndef PMTSYS_H
#define PMTSYS_H

#include "csec_base64.h"
#include "cstd_shared.h"
#include "cstd_vector.h"
#include "csys_assert.h"
#include "csys_atomic.h"
#include "csys_attention.h"
#include "csys_cleanup.h"
#include "csys_cpuinfo.h"
#include "csys_file.h"
#include "csys_memory.h"
#include "csys_print.h"
#include "csys_resource.h"
#include "csys_shutdown.h"
#include "csys_status.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "csys_timer.h"
#include "qzsf_rep.h"
/* API mutex, thread vector, work state, random numbers */
#include "cmath_rand.h"
#include "cstd_vector_csys_thread.h"
#include "csys_apiMutex.h"
#include "csys_thread_work.h"

#endif /* PMTSYS_H */
