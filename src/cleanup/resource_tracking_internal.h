// Set-up and tear-down of resource leak tracking, for the global mutex's creator and the final
// shutdown stage.
#pragma once

#include <atomic>

#include "csys_resource.h"
#include "csys_status.h"
#include "csys_sync.h"

// Tracking state bits, in one word so that the hot paths test them with one load.
inline constexpr int32_t CSYS_RESOURCE_TRACKING_INITIALIZED = 1;
inline constexpr int32_t CSYS_RESOURCE_TRACKING_ENABLED = 2;
inline constexpr int32_t CSYS_RESOURCE_TRACKING_SHUT_DOWN = 4;
extern std::atomic<int32_t> csys_resourceTracking_state;

// Running: initialized, enabled and not shut down.
inline bool csys_resourceTracking_isLive() {
  return (csys_resourceTracking_state.load(std::memory_order_acquire) &
          (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_ENABLED |
           CSYS_RESOURCE_TRACKING_SHUT_DOWN)) ==
         (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_ENABLED);
}

// Sets tracking up (it comes with the global mutex) unless it exists or has ended. Library code
// calls it before constructing an object that lives on into the caller's use, so that the
// object's destruction finds its construction counted instead of showing a count of -1.
inline csys_status csys_resourceTracking_ensure() {
  if ((csys_resourceTracking_state.load(std::memory_order_acquire) &
       (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_SHUT_DOWN)) != 0) {
    return CSYS_OK;
  }
  csys_mutex* global = nullptr;
  return csys_mutex_getGlobal(&global);
}

// Reports an action, skipping the call altogether while tracking is not running.
inline csys_status csys_resourceTracking_log(const csys_resourceId* rid, uint32_t actionType,
                                             int32_t delta) {
  return csys_resourceTracking_isLive() ? csys_resourceId_logAction(rid, actionType, delta)
                                        : CSYS_OK;
}

// Constructs the tracking lock and the table; reports logged before this are ignored.
csys_status csys_resourceTracking_init();
// Reports leaks (when asked to at shutdown), then frees the table and the lock for good.
csys_status csys_resourceTracking_shutdown();
