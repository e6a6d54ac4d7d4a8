/* Shared reference counts and pointer handles. An object shared between owners embeds a
 * cstd_shared block that holds its count and knows how to free it (the block's "whole"); each
 * non-empty handle holds one reference, and the handle that drops the last one releases the
 * whole. Counting and releasing go through a table of operations so that an owner type can free
 * itself its own way or keep its count elsewhere. Nothing here allocates. */
#ifndef CSTD_SHARED_H
#define CSTD_SHARED_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Frees the whole. Receives the address of the block's `whole` field, which it must not write
 * through once the whole is gone. Called once, after the count reached 0. */
typedef csys_status (*cstd_shared_releaseFunc)(void** wholeField, uintptr_t context);
/* Adds or subtracts one; stores the new count when newCount is non-null. Must be atomic when
 * the block is shared between threads. */
typedef csys_status (*cstd_shared_countFunc)(int32_t* count, int32_t* newCount, void* whole,
                                             uintptr_t context);

typedef struct cstd_shared_vtable {
  cstd_shared_releaseFunc release;
  cstd_shared_countFunc increment;
  cstd_shared_countFunc decrement;
} cstd_shared_vtable;

typedef struct cstd_shared {
  const cstd_shared_vtable* ops;
  void* whole;       /* the object the block belongs to */
  uintptr_t context; /* handed to every operation */
  int32_t* count;    /* &ownCount, or an external counter */
  int32_t ownCount;  /* -1 while an external counter is in use */
} cstd_shared;

typedef struct cstd_shared_initParams {
  uintptr_t context;
  int32_t* externalCount; /* null: count in the block itself */
  const cstd_shared_vtable* ops;
} cstd_shared_initParams;

/* One reference on a block, or empty (null). A handle must be constructed before it is assigned;
 * one handle must not be changed by two threads at once. */
typedef struct cstd_ptrh {
  cstd_shared* shared;
} cstd_ptrh;

/* The same, on an object its holder only reads. */
typedef struct cstd_ptrhConst {
  const cstd_shared* shared;
} cstd_ptrhConst;

/* The default table: interlocked counting, release frees the whole with csys_memory_free. */
CSYS_API extern const cstd_shared_vtable* const cstd_shared_vtable_default;

CSYS_API csys_status cstd_shared_release_default(void** wholeField, uintptr_t context);
CSYS_API csys_status cstd_shared_increment_default(int32_t* count, int32_t* newCount, void* whole,
                                                   uintptr_t context);
CSYS_API csys_status cstd_shared_decrement_default(int32_t* count, int32_t* newCount, void* whole,
                                                   uintptr_t context);

/* A block starts at count 0, owned by nobody; if no handle is ever made its creator frees it.
 * Null params: the default table, no context, the block's own counter. */
CSYS_API csys_status cstd_shared_init(cstd_shared* shared, void* whole);
CSYS_API csys_status cstd_shared_initCustom(cstd_shared* shared, void* whole,
                                            const cstd_shared_initParams* params);
/* A momentary value. */
CSYS_API csys_status cstd_shared_getRefCount(const cstd_shared* shared, int32_t* count);
CSYS_API csys_status cstd_shared_getWhole(const cstd_shared* shared, void** whole);

/* A failing increment leaves the handle holding the block; a failing decrement or release leaves
 * assignShared's handle on the old block, and destruct's and detach's handle empty. */
CSYS_API csys_status cstd_ptrh_construct(cstd_ptrh* handle, cstd_shared* shared);
CSYS_API csys_status cstd_ptrh_constructCopy(cstd_ptrh* handle, const cstd_ptrh* source);
CSYS_API csys_status cstd_ptrh_assign(cstd_ptrh* handle, const cstd_ptrh* source);
CSYS_API csys_status cstd_ptrh_assignShared(cstd_ptrh* handle, cstd_shared* shared);
CSYS_API csys_status cstd_ptrh_destruct(cstd_ptrh* handle);
/* As destruct, but a null handle pointer is a programming error. */
CSYS_API csys_status cstd_ptrh_detach(cstd_ptrh* handle);
CSYS_API csys_status cstd_ptrh_getIsNull(const cstd_ptrh* handle, int32_t* isNull);
CSYS_API csys_status cstd_ptrh_getRefCount(const cstd_ptrh* handle, int32_t* count);
CSYS_API csys_status cstd_ptrh_getShared(const cstd_ptrh* handle, cstd_shared** shared);
CSYS_API csys_status cstd_ptrh_getWholeShared(const cstd_ptrh* handle, void** whole);

/* Each behaves as the cstd_ptrh operation of the same name; the *Const variants take a plain
 * handle as the source. */
CSYS_API csys_status cstd_ptrhConst_construct(cstd_ptrhConst* handle, const cstd_shared* shared);
CSYS_API csys_status cstd_ptrhConst_constructCopy(cstd_ptrhConst* handle,
                                                  const cstd_ptrhConst* source);
CSYS_API csys_status cstd_ptrhConst_constructConstCopy(cstd_ptrhConst* handle,
                                                       const cstd_ptrh* source);
CSYS_API csys_status cstd_ptrhConst_assign(cstd_ptrhConst* handle, const cstd_ptrhConst* source);
CSYS_API csys_status cstd_ptrhConst_assignConst(cstd_ptrhConst* handle, const cstd_ptrh* source);
CSYS_API csys_status cstd_ptrhConst_assignShared(cstd_ptrhConst* handle, const cstd_shared* shared);
CSYS_API csys_status cstd_ptrhConst_destruct(cstd_ptrhConst* handle);
CSYS_API csys_status cstd_ptrhConst_detach(cstd_ptrhConst* handle);
CSYS_API csys_status cstd_ptrhConst_getIsNull(const cstd_ptrhConst* handle, int32_t* isNull);
CSYS_API csys_status cstd_ptrhConst_getRefCount(const cstd_ptrhConst* handle, int32_t* count);
CSYS_API csys_status cstd_ptrhConst_getShared(const cstd_ptrhConst* handle,
                                              const cstd_shared** shared);
CSYS_API csys_status cstd_ptrhConst_getWholeShared(const cstd_ptrhConst* handle,
                                                   const void** whole);

CSYS_DECLARE_TYPE_CHECKS(cstd_ptrh)
CSYS_DECLARE_TYPE_CHECKS(cstd_ptrhConst)

CSYS_EXTERN_C_END

#endif /* CSTD_SHARED_H */
