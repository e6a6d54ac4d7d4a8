// Rep pointer handles: the count lives in the header at the start of the shared object and is
// changed only by interlocked operations; the handle that takes it to 0 destroys the object.
#include <atomic>

#include "csys_atomic.h"
#include "diag/check.h"
#include "qzsf_rep.h"

namespace {

// The count is a uint32_t; the interlocked operations work on its int32_t twin, which may alias
// it.
int32_t* countOf(qzsfRepBase* rep) {
  return reinterpret_cast<int32_t*>(&rep->referenceCount);
}

csys_status addRef(const qzsfPtrHandle* handle) {
  if (handle->rep == nullptr) return CSYS_OK;
  return csys_atomicIncrement(countOf(handle->rep), nullptr);
}

// Exactly one releaser sees the count reach 0. Its destroy may free the header, so destroy and
// obj are copied out first and the header is not touched again.
csys_status release(qzsfPtrHandle* handle) {
  qzsfRepBase* const rep = handle->rep;
  if (rep == nullptr) return CSYS_OK;
  int32_t newCount = 0;
  const csys_status status = csys_atomicDecrement(countOf(rep), &newCount);
  // Not the last one: the handle keeps its (no longer counted) pointer.
  if (CSYS_FAILED(status) || newCount != 0) return status;
  const qzsfRepBase_destroyFunc destroy = rep->destroy;
  void* obj = rep->obj;
  const csys_status destroyed = destroy != nullptr ? destroy(&obj) : CSYS_OK;
  handle->rep = nullptr;
  return destroyed;
}

}  // namespace

extern "C" {

CSYS_API csys_status qzsfPtrHandle_Construct(qzsfPtrHandle* handle, qzsfRepBase* rep) {
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  handle->rep = rep;
  return addRef(handle);
}

CSYS_API csys_status qzsfPtrHandle_ConstructCopy(qzsfPtrHandle* handle,
                                                 const qzsfPtrHandle* source) {
  if (handle != nullptr) handle->rep = nullptr;
  return qzsfPtrHandle_Assign(handle, source);
}

CSYS_API csys_status qzsfPtrHandle_Assign(qzsfPtrHandle* handle, const qzsfPtrHandle* source) {
  if (handle == nullptr || source == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle == source) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(release(handle));
  handle->rep = source->rep;
  return addRef(handle);
}

CSYS_API csys_status qzsfPtrHandle_Destruct(qzsfPtrHandle* handle) {
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return release(handle);
}

CSYS_API csys_status qzsfPtrHandle_IsNullGet(const qzsfPtrHandle* handle, uint32_t* isNull) {
  if (handle == nullptr || isNull == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *isNull = handle->rep == nullptr ? 1u : 0u;
  return CSYS_OK;
}

CSYS_API csys_status qzsfPtrHandle_RepGet(const qzsfPtrHandle* handle, qzsfRepBase** rep) {
  if (handle == nullptr || rep == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *rep = handle->rep;
  return CSYS_OK;
}

CSYS_API csys_status qzsfPtrHandle_RepObjGet(const qzsfPtrHandle* handle, void** obj) {
  if (handle == nullptr || obj == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *obj = handle->rep != nullptr ? handle->rep->obj : nullptr;
  return CSYS_OK;
}

CSYS_API csys_status qzsfRepBase_ReferenceCountGet(const qzsfRepBase* rep, uint32_t* count) {
  if (rep == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  // Other threads may be counting: a momentary value, read atomically.
  *count = std::atomic_ref<uint32_t>(const_cast<uint32_t&>(rep->referenceCount))
               .load(std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status qzsfRepBase_ObjGet(const qzsfRepBase* rep, void** obj) {
  if (rep == nullptr || obj == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *obj = rep->obj;
  return CSYS_OK;
}

}  // extern "C"
