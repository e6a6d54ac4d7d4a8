/* Scoped cleanup: an operation records how to give back each thing it acquires in a small
 * array of entries on its own stack, and every exit path runs the array newest first. Each
 * frame draws a tag; tags issued but never executed are reported as cleanup leaks. */
#ifndef CSYS_CLEANUP_H
#define CSYS_CLEANUP_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* The release function of an entry. It is called with the signature of the entry's kind:
 * kinds VAR and ENTRY pass a void** (the variable, or the entry's own object field), OBJ the
 * object itself, NOARG nothing; store the function cast to this type. */
typedef csys_status (*csys_cleanupFunc)(void* object);

typedef struct csys_cleanupEntry {
  uint32_t id; /* 0xFFFFFFFF marks an emptied slot */
  uint32_t flags;
  void* object;
  csys_cleanupFunc func;
} csys_cleanupEntry;

/* Call kinds (low four bits of flags). */
#define CSYS_CLEANUP_CALL_VAR 0x1u   /* func(object): object is the address of a pointer variable */
#define CSYS_CLEANUP_CALL_OBJ 0x2u   /* func(object): object is the resource itself */
#define CSYS_CLEANUP_CALL_ENTRY 0x4u /* func(&entry.object) */
#define CSYS_CLEANUP_CALL_NOARG 0x8u /* func() */
/* When to run. */
#define CSYS_CLEANUP_RUN_ON_SUCCESS 0x10u
#define CSYS_CLEANUP_RUN_ON_FAILURE 0x20u
#define CSYS_CLEANUP_RUN_ALWAYS (CSYS_CLEANUP_RUN_ON_SUCCESS | CSYS_CLEANUP_RUN_ON_FAILURE)

/* A frame that is not tracked for leaks. */
#define CSYS_CLEANUP_UNTRACKED_TAG (-1)

/* Draws the tag of a new frame (counted as open until executed); after shutdown the same tag
 * again. */
CSYS_API int32_t csys_cleanup_getNextTag(void);
/* Runs the frame's entries newest first and logs its tag; a failure already in *status is
 * kept, otherwise *status becomes the first cleanup failure or 0. */
CSYS_API void csys_cleanupExecute_(csys_cleanupEntry* entries, int32_t* count, csys_status* status,
                                   int32_t tag);
/* Finds the entry with this id, runs it now when `run` is set, and removes it. */
CSYS_API void csys_cleanup_doId_(csys_cleanupEntry* entries, int32_t* count, csys_status* status,
                                 uint32_t id, int32_t run);
/* Records the frame of `tag` as closed (csys_cleanupExecute_ does it). A failure to take the
 * tracking lock is returned. */
CSYS_API csys_status csys_cleanup_logExecute(int32_t tag);
/* Counts the tags drawn but never executed (printed through csys_printfA when `print` is set);
 * `valid` 0 when tracking is off or gone. Null outputs: CSYS_E_INVALID_ARGUMENT. */
CSYS_API csys_status csys_cleanupReportLeaks(int32_t print, int32_t* leakCount, int32_t* valid);
/* Both on by default. */
CSYS_API csys_status csys_cleanupSetLeakTrackingEnabled(int32_t enable);
CSYS_API csys_status csys_cleanupSetReportLeaksAtShutdown(int32_t enable);

/* The address of a library-owned zero; the library itself never uses it. */
CSYS_API extern int32_t* _pm_numCleanup;

CSYS_EXTERN_C_END

#endif /* CSYS_CLEANUP_H */
