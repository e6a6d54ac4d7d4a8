// Critical sections: the library's cheap process-local recursive lock. The OS lock lives in a
// separately allocated block so that callers never need the OS type; every construction,
// destruction, entry and exit is reported to leak tracking.
#include "cleanup/resource_tracking_internal.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "diag/type_checks.h"
#include "os/os.h"
#include "sync/protect.h"

namespace {

constexpr const char* kResourceName = "csys_criticalSection";

// Both critical-section types share one layout and one implementation.
template <typename CriticalSection, typename InitOs>
csys_status construct(CriticalSection* cs, InitOs initOs) {
  cs->os = nullptr;
  CSYS_RETURN_IF_FAILED(
      csys_memory_alloc_internal(static_cast<intptr_t>(os_criticalSectionSize()), &cs->os));
  csys_status status = initOs(cs->os);
  if (CSYS_SUCCEEDED(status)) {
    status = csys_resourceId_init(&cs->resourceId, kResourceName);
    if (CSYS_SUCCEEDED(status)) {
      status =
          csys_resourceTracking_log(&cs->resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT, 1);
    }
    if (CSYS_FAILED(status)) os_criticalSectionDelete(cs->os);
  }
  if (CSYS_FAILED(status)) csys_memory_free_internal(&cs->os);
  return status;
}

template <typename CriticalSection>
csys_status constructPlain(CriticalSection* cs) {
  if (cs == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return construct(
      cs, [](void* os) { return os_criticalSectionInit(os) ? CSYS_OK : CSYS_E_OUT_OF_MEMORY; });
}

template <typename CriticalSection>
csys_status destruct(CriticalSection* cs) {
  if (cs == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (cs->os == nullptr) return CSYS_OK;
  os_criticalSectionDelete(cs->os);
  CSYS_RETURN_IF_FAILED(csys_memory_free_internal(&cs->os));
  return csys_resourceTracking_log(&cs->resourceId, CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT, -1);
}

template <typename CriticalSection>
csys_status wait(CriticalSection* cs, int32_t* acquired) {
  if (acquired != nullptr) *acquired = 0;
  if (cs == nullptr || cs->os == nullptr) return CSYS_E_INVALID_ARGUMENT;
  os_criticalSectionEnter(cs->os);
  // An entry whose record fails is given back at once, reported as not acquired: the caller
  // holds nothing and the leak report never sees a release without its entry.
  const csys_status status = csys_resourceTracking_acquired(&cs->resourceId);
  if (CSYS_FAILED(status)) {
    os_criticalSectionLeave(cs->os);
    return status;
  }
  if (acquired != nullptr) *acquired = 1;
  return CSYS_OK;
}

template <typename CriticalSection>
csys_status release(CriticalSection* cs) {
  if (cs == nullptr || cs->os == nullptr) return CSYS_E_INVALID_ARGUMENT;
  void* const os = cs->os;
  return csys_resourceTracking_release(
      &cs->resourceId,
      [os] {
        os_criticalSectionLeave(os);
        return true;
      },
      CSYS_OK);
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_criticalSection_construct(csys_criticalSection* cs) {
  return constructPlain(cs);
}

CSYS_API csys_status csys_criticalSection_constructSpin(csys_criticalSection* cs,
                                                        int32_t spinCount) {
  if (cs == nullptr || spinCount < 0) return CSYS_E_INVALID_ARGUMENT;
  return construct(cs, [spinCount](void* os) {
    return os_criticalSectionInitSpin(os, static_cast<uint32_t>(spinCount)) ? CSYS_OK : CSYS_E_OS;
  });
}

CSYS_API csys_status csys_criticalSection_destruct(csys_criticalSection* cs) {
  return destruct(cs);
}

CSYS_API csys_status csys_criticalSection_wait(csys_criticalSection* cs, int32_t* acquired) {
  return wait(cs, acquired);
}

CSYS_API csys_status csys_criticalSection_release(csys_criticalSection* cs) {
  return release(cs);
}

CSYS_API csys_status csys_criticalSection_protect(csys_criticalSection* cs, csys_initFunc fn,
                                                  void* context) {
  return protectWith(cs, fn, context, csys_criticalSection_wait, csys_criticalSection_release);
}

CSYS_API csys_status csys_criticalSection2_construct(csys_criticalSection2* cs) {
  return constructPlain(cs);
}

CSYS_API csys_status csys_criticalSection2_destruct(csys_criticalSection2* cs) {
  return destruct(cs);
}

CSYS_API csys_status csys_criticalSection2_wait(csys_criticalSection2* cs, int32_t* acquired) {
  return wait(cs, acquired);
}

CSYS_API csys_status csys_criticalSection2_release(csys_criticalSection2* cs) {
  return release(cs);
}

}  // extern "C"

CSYS_DEFINE_TYPE_CHECKS(csys_criticalSection)
CSYS_DEFINE_TYPE_CHECKS(csys_criticalSection2)
