// Shared reference counts and pointer handles. Every count change goes through the block's table,
// so a handle copy or drop is a few loads plus one table call and no lock.
#include <atomic>

#include "cstd_shared.h"
#include "csys_atomic.h"
#include "csys_memory.h"
#include "diag/check.h"
#include "diag/type_checks.h"

namespace {

constexpr cstd_shared_vtable kDefaultTable{
    cstd_shared_release_default, cstd_shared_increment_default, cstd_shared_decrement_default};
constexpr cstd_shared_initParams kDefaultParams{0, nullptr, &kDefaultTable};

// Other threads may be counting at the same time: a momentary value, read atomically.
int32_t loadCount(int32_t* count) {
  return std::atomic_ref<int32_t>(*count).load(std::memory_order_relaxed);
}

// Reports each broken invariant of a block about to be counted or released, and yields the
// table's operation; a missing one is not called.
template <typename Operation>
Operation checkedOperation(const cstd_shared* shared, Operation cstd_shared_vtable::*slot) {
  CSYS_CHECK(shared->whole != nullptr);
  CSYS_CHECK(shared->ops != nullptr);
  CSYS_CHECK(shared->count != nullptr);
  const Operation operation = shared->ops != nullptr ? shared->ops->*slot : nullptr;
  CSYS_CHECK(operation != nullptr);
  return operation;
}

// Adds `step` through the table and gives the count it reports (1, which never releases, from a
// table that reports none). That the count was not negative before is checked from that report:
// reading the counter first would wait for the interlocked operation of the previous change and
// cost about as much as the change itself.
csys_status changeCount(const cstd_shared* shared, cstd_shared_countFunc cstd_shared_vtable::*slot,
                        int32_t step, int32_t& newCount) {
  newCount = 1;
  const cstd_shared_countFunc change = checkedOperation(shared, slot);
  if (change == nullptr) return CSYS_OK;
  const csys_status status = change(shared->count, &newCount, shared->whole, shared->context);
  CSYS_CHECK(CSYS_FAILED(status) || int64_t{newCount} - step >= 0);
  return status;
}

csys_status addRef(const cstd_shared* shared) {
  int32_t newCount;
  return changeCount(shared, &cstd_shared_vtable::increment, 1, newCount);
}

// Exactly one dropper sees the count reach 0, so the release runs once, here; the block is not
// touched after it, since it usually lives inside the whole that the release frees.
csys_status dropRef(cstd_shared* shared) {
  int32_t newCount;
  const csys_status status = changeCount(shared, &cstd_shared_vtable::decrement, -1, newCount);
  if (CSYS_FAILED(status) || newCount != 0) return status;
  const cstd_shared_releaseFunc release = checkedOperation(shared, &cstd_shared_vtable::release);
  CSYS_CHECK(shared->count == nullptr || loadCount(shared->count) == 0);
  if (release != nullptr) CSYS_RETURN_IF_FAILED(release(&shared->whole, shared->context));
  return CSYS_OK;
}

// The const handle operations run the plain ones on a cstd_ptrh holding the same pointer, copied
// in (and out), so that neither handle type is ever accessed through the other.
class PlainView {
 public:
  explicit PlainView(const cstd_ptrhConst* handle)
      : plain_{handle != nullptr ? const_cast<cstd_shared*>(handle->shared) : nullptr},
        valid_(handle != nullptr) {}
  cstd_ptrh* get() { return valid_ ? &plain_ : nullptr; }

 private:
  cstd_ptrh plain_;
  bool valid_;
};

class PlainLoan : public PlainView {
 public:
  explicit PlainLoan(cstd_ptrhConst* handle) : PlainView(handle), handle_(handle) {}
  ~PlainLoan() {
    if (handle_ != nullptr) handle_->shared = get()->shared;
  }
  PlainLoan(const PlainLoan&) = delete;
  PlainLoan& operator=(const PlainLoan&) = delete;

 private:
  cstd_ptrhConst* handle_;
};

template <typename Out, typename ConstOut>
csys_status getThroughPlain(csys_status (*get)(const cstd_ptrh*, Out*),
                            const cstd_ptrhConst* handle, ConstOut* out) {
  Out value{};
  const csys_status status = get(PlainView(handle).get(), out != nullptr ? &value : nullptr);
  if (CSYS_SUCCEEDED(status)) *out = value;  // success means out was given
  return status;
}

}  // namespace

extern "C" {

CSYS_API extern const cstd_shared_vtable* const cstd_shared_vtable_default = &kDefaultTable;

CSYS_API csys_status cstd_shared_release_default(void** wholeField, uintptr_t /*context*/) {
  if (wholeField == nullptr) return CSYS_E_INVALID_ARGUMENT;
  // Freed through a copy: the field usually lies inside the block being freed.
  void* whole = *wholeField;
  return csys_memory_free_internal(&whole);
}

CSYS_API csys_status cstd_shared_increment_default(int32_t* count, int32_t* newCount,
                                                   void* /*whole*/, uintptr_t /*context*/) {
  if (count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return csys_atomicIncrement(count, newCount);
}

CSYS_API csys_status cstd_shared_decrement_default(int32_t* count, int32_t* newCount,
                                                   void* /*whole*/, uintptr_t /*context*/) {
  if (count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return csys_atomicDecrement(count, newCount);
}

CSYS_API csys_status cstd_shared_init(cstd_shared* shared, void* whole) {
  return cstd_shared_initCustom(shared, whole, nullptr);
}

CSYS_API csys_status cstd_shared_initCustom(cstd_shared* shared, void* whole,
                                            const cstd_shared_initParams* params) {
  if (shared == nullptr || whole == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (params == nullptr) params = &kDefaultParams;
  shared->ops = params->ops;
  shared->whole = whole;
  shared->context = params->context;
  shared->ownCount = -1;
  shared->count = params->externalCount != nullptr ? params->externalCount : &shared->ownCount;
  *shared->count = 0;
  return CSYS_OK;
}

CSYS_API csys_status cstd_shared_getRefCount(const cstd_shared* shared, int32_t* count) {
  if (shared == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *count = loadCount(shared->count);
  return CSYS_OK;
}

CSYS_API csys_status cstd_shared_getWhole(const cstd_shared* shared, void** whole) {
  if (shared == nullptr || whole == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *whole = shared->whole;
  return CSYS_OK;
}

CSYS_API csys_status cstd_ptrh_construct(cstd_ptrh* handle, cstd_shared* shared) {
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  handle->shared = shared;
  return shared != nullptr ? addRef(shared) : CSYS_OK;
}

CSYS_API csys_status cstd_ptrh_constructCopy(cstd_ptrh* handle, const cstd_ptrh* source) {
  if (handle != nullptr) handle->shared = nullptr;
  return cstd_ptrh_assign(handle, source);
}

CSYS_API csys_status cstd_ptrh_assign(cstd_ptrh* handle, const cstd_ptrh* source) {
  if (handle == nullptr || source == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle == source) return CSYS_OK;
  return cstd_ptrh_assignShared(handle, source->shared);
}

CSYS_API csys_status cstd_ptrh_assignShared(cstd_ptrh* handle, cstd_shared* shared) {
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle->shared == shared) return CSYS_OK;
  csys_status status = CSYS_OK;
  if (handle->shared != nullptr) {
    // On failure the handle keeps its block, and the caller the reference it could not drop.
    status = dropRef(handle->shared);
    if (CSYS_FAILED(status)) return status;
  }
  handle->shared = shared;
  return shared != nullptr ? addRef(shared) : status;
}

// The handle is empty afterwards whatever the drop returned: its reference is gone either way.
CSYS_API csys_status cstd_ptrh_destruct(cstd_ptrh* handle) {
  if (handle == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle->shared == nullptr) return CSYS_OK;
  const csys_status status = dropRef(handle->shared);
  handle->shared = nullptr;
  return status;
}

CSYS_API csys_status cstd_ptrh_detach(cstd_ptrh* handle) {
  CSYS_CHECK(handle != nullptr);
  return handle != nullptr ? cstd_ptrh_destruct(handle) : CSYS_OK;
}

CSYS_API csys_status cstd_ptrh_getIsNull(const cstd_ptrh* handle, int32_t* isNull) {
  if (handle == nullptr || isNull == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *isNull = handle->shared == nullptr ? 1 : 0;
  return CSYS_OK;
}

CSYS_API csys_status cstd_ptrh_getRefCount(const cstd_ptrh* handle, int32_t* count) {
  if (handle == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle->shared == nullptr) {
    *count = 0;
    return CSYS_OK;
  }
  return cstd_shared_getRefCount(handle->shared, count);
}

CSYS_API csys_status cstd_ptrh_getShared(const cstd_ptrh* handle, cstd_shared** shared) {
  if (handle == nullptr || shared == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *shared = handle->shared;
  return CSYS_OK;
}

CSYS_API csys_status cstd_ptrh_getWholeShared(const cstd_ptrh* handle, void** whole) {
  if (handle == nullptr || whole == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (handle->shared == nullptr) {
    *whole = nullptr;
    return CSYS_OK;
  }
  return cstd_shared_getWhole(handle->shared, whole);
}

CSYS_API csys_status cstd_ptrhConst_construct(cstd_ptrhConst* handle, const cstd_shared* shared) {
  return cstd_ptrh_construct(PlainLoan(handle).get(), const_cast<cstd_shared*>(shared));
}

CSYS_API csys_status cstd_ptrhConst_constructCopy(cstd_ptrhConst* handle,
                                                  const cstd_ptrhConst* source) {
  return cstd_ptrh_constructCopy(PlainLoan(handle).get(), PlainView(source).get());
}

CSYS_API csys_status cstd_ptrhConst_constructConstCopy(cstd_ptrhConst* handle,
                                                       const cstd_ptrh* source) {
  return cstd_ptrh_constructCopy(PlainLoan(handle).get(), source);
}

CSYS_API csys_status cstd_ptrhConst_assign(cstd_ptrhConst* handle, const cstd_ptrhConst* source) {
  return cstd_ptrh_assign(PlainLoan(handle).get(), PlainView(source).get());
}

CSYS_API csys_status cstd_ptrhConst_assignConst(cstd_ptrhConst* handle, const cstd_ptrh* source) {
  return cstd_ptrh_assign(PlainLoan(handle).get(), source);
}

CSYS_API csys_status cstd_ptrhConst_assignShared(cstd_ptrhConst* handle,
                                                 const cstd_shared* shared) {
  return cstd_ptrh_assignShared(PlainLoan(handle).get(), const_cast<cstd_shared*>(shared));
}

CSYS_API csys_status cstd_ptrhConst_destruct(cstd_ptrhConst* handle) {
  return cstd_ptrh_destruct(PlainLoan(handle).get());
}

CSYS_API csys_status cstd_ptrhConst_detach(cstd_ptrhConst* handle) {
  return cstd_ptrh_detach(PlainLoan(handle).get());
}

CSYS_API csys_status cstd_ptrhConst_getIsNull(const cstd_ptrhConst* handle, int32_t* isNull) {
  return getThroughPlain(cstd_ptrh_getIsNull, handle, isNull);
}

CSYS_API csys_status cstd_ptrhConst_getRefCount(const cstd_ptrhConst* handle, int32_t* count) {
  return getThroughPlain(cstd_ptrh_getRefCount, handle, count);
}

CSYS_API csys_status cstd_ptrhConst_getShared(const cstd_ptrhConst* handle,
                                              const cstd_shared** shared) {
  return getThroughPlain(cstd_ptrh_getShared, handle, shared);
}

CSYS_API csys_status cstd_ptrhConst_getWholeShared(const cstd_ptrhConst* handle,
                                                   const void** whole) {
  return getThroughPlain(cstd_ptrh_getWholeShared, handle, whole);
}

}  // extern "C"

CSYS_DEFINE_TYPE_CHECKS(cstd_ptrh)
CSYS_DEFINE_TYPE_CHECKS(cstd_ptrhConst)
