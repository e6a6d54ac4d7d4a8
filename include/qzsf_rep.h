/* Rep pointer handles: a leaner reference count than cstd_shared. A shared object begins with a
 * qzsfRepBase header holding its count and the function that destroys it; each non-empty
 * qzsfPtrHandle holds one reference, counted with interlocked operations. The handle that
 * releases the last reference calls destroy, and the header is not touched afterwards, so
 * destroy may free the memory that contains it. Nothing here allocates. */
#ifndef QZSF_REP_H
#define QZSF_REP_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Receives the address of a variable holding the header's obj. */
typedef csys_status (*qzsfRepBase_destroyFunc)(void** obj);

/* The creator sets destroy, referenceCount 0 and obj before making the first handle; if no
 * handle is ever made, the creator frees the object itself. */
typedef struct qzsfRepBase {
  qzsfRepBase_destroyFunc destroy;
  uint32_t referenceCount;
  void* obj; /* the whole object that begins with this header */
} qzsfRepBase;

/* One reference on a header, or empty (null). One handle must not be changed by two threads at
 * once. */
typedef struct qzsfPtrHandle {
  qzsfRepBase* rep;
} qzsfPtrHandle;

/* Construct does not look at the handle's earlier content. */
CSYS_API csys_status qzsfPtrHandle_Construct(qzsfPtrHandle* handle, qzsfRepBase* rep);
CSYS_API csys_status qzsfPtrHandle_ConstructCopy(qzsfPtrHandle* handle,
                                                 const qzsfPtrHandle* source);
/* A failing destroy is returned, with the destination left empty. */
CSYS_API csys_status qzsfPtrHandle_Assign(qzsfPtrHandle* handle, const qzsfPtrHandle* source);
/* Releases the handle's reference. The handle becomes empty when that was the last reference;
 * otherwise it keeps the header pointer but no longer counts, and must not be released again. */
CSYS_API csys_status qzsfPtrHandle_Destruct(qzsfPtrHandle* handle);
CSYS_API csys_status qzsfPtrHandle_IsNullGet(const qzsfPtrHandle* handle, uint32_t* isNull);
CSYS_API csys_status qzsfPtrHandle_RepGet(const qzsfPtrHandle* handle, qzsfRepBase** rep);
CSYS_API csys_status qzsfPtrHandle_RepObjGet(const qzsfPtrHandle* handle, void** obj);

/* A momentary value. */
CSYS_API csys_status qzsfRepBase_ReferenceCountGet(const qzsfRepBase* rep, uint32_t* count);
CSYS_API csys_status qzsfRepBase_ObjGet(const qzsfRepBase* rep, void** obj);

CSYS_EXTERN_C_END

#endif /* QZSF_REP_H */
