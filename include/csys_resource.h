/* Resource leak tracking: every synchronization object reports its construction and
 * destruction, acquisitions and releases; sums that do not return to zero are leaks. */
#ifndef CSYS_RESOURCE_H
#define CSYS_RESOURCE_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* The tracking identity embedded in every synchronization object. `name` must live as long as
 * the process: only the pointer is kept. */
typedef struct csys_resourceId {
  int32_t id;
  const char* name;
} csys_resourceId;

#define CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT 0u
#define CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE 1u
#define CSYS_RESOURCE_ACTION_DESTRUCT_WHILE_LOCKED 2u

/* Gives the identity a new id (one per object) and the name its report lines carry. */
CSYS_API csys_status csys_resourceId_init(csys_resourceId* rid, const char* name);
/* Adds delta to the object's sum for the action (+1 construct or acquire, -1 destruct or
 * release). A null rid is CSYS_E_INVALID_ARGUMENT; with tracking off, nothing is counted. */
CSYS_API csys_status csys_resourceId_logAction(const csys_resourceId* rid, uint32_t actionType,
                                               int32_t delta);
/* The object's current sum for the action. */
CSYS_API csys_status csys_resourceId_getCount(const csys_resourceId* rid, uint32_t actionType,
                                              int32_t* count);
/* Lists every outstanding sum in ascending id order (printed through csys_printfA when `print`
 * is set); `leakCount` is the number of sums listed, `valid` 0 when tracking is not running. */
CSYS_API csys_status csys_resourceReportLeaks(int32_t print, int32_t* leakCount, int32_t* valid);
/* Both on by default. */
CSYS_API csys_status csys_resourceSetLeakTrackingEnabled(int32_t enable);
CSYS_API csys_status csys_resourceSetReportLeaksAtShutdown(int32_t enable);

CSYS_EXTERN_C_END

#endif /* CSYS_RESOURCE_H */
