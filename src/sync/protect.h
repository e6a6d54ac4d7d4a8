// Runs a caller's function while holding a lock, for every lock type with a wait that reports
// acquisition and a release.
#pragma once

#include "csys_sync.h"
#include "diag/check.h"

template <typename Lock, typename Wait, typename Release>
csys_status protectWith(Lock* lock, csys_initFunc fn, void* context, Wait wait, Release release) {
  CSYS_CHECK(lock != nullptr && fn != nullptr);
  int32_t acquired = 0;
  CSYS_RETURN_IF_FAILED(wait(lock, &acquired));
  CSYS_CHECK(acquired == 1);
  const csys_status status = fn != nullptr ? fn(context) : CSYS_E_INVALID_ARGUMENT;
  const csys_status released = release(lock);
  return csys_firstFailure(status, released);
}
