// Leak tracking for the benchmarks: starting resource tracking, and setting the state of resource
// and cleanup tracking for one benchmark run.
#pragma once

#include "csys_cleanup.h"
#include "csys_resource.h"
#include "csys_sync.h"

// Resource tracking only runs once it is initialized, which happens when the global mutex is
// first created. Without this call, "tracking on" would measure a tracker that drops everything.
inline bool startResourceTracking() {
  csys_mutex* global = nullptr;
  return CSYS_SUCCEEDED(csys_mutex_getGlobal(&global)) && global != nullptr;
}

enum class Tracking { off, on };

// For an object the caller holds once: does resource tracking count the acquisition (on) or
// ignore it (off)?
inline bool holdTrackedAs(const csys_resourceId& rid, Tracking tracking) {
  int32_t held = -1;
  return CSYS_SUCCEEDED(
             csys_resourceId_getCount(&rid, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, &held)) &&
         held == (tracking == Tracking::on ? 1 : 0);
}

// Sets resource and cleanup tracking for the lifetime of the scope, then restores both defaults
// (on), so that the order in which benchmarks run does not matter.
class TrackingScope {
 public:
  explicit TrackingScope(Tracking resource, Tracking cleanup = Tracking::on) {
    csys_resourceSetLeakTrackingEnabled(resource == Tracking::on ? 1 : 0);
    csys_cleanupSetLeakTrackingEnabled(cleanup == Tracking::on ? 1 : 0);
  }
  ~TrackingScope() {
    csys_resourceSetLeakTrackingEnabled(1);
    csys_cleanupSetLeakTrackingEnabled(1);
  }
  TrackingScope(const TrackingScope&) = delete;
  TrackingScope& operator=(const TrackingScope&) = delete;
};
