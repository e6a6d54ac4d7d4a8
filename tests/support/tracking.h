// Reading resource leak tracking from tests.
#pragma once

#include "csys_resource.h"

namespace pmtsys_test {

// The outstanding sum of one action of one object (-99 if the query fails).
inline int32_t trackedCount(const csys_resourceId& rid, uint32_t action) {
  int32_t value = -99;
  return CSYS_FAILED(csys_resourceId_getCount(&rid, action, &value)) ? -99 : value;
}

// The number of outstanding sums, without printing them.
inline int32_t leakRecords() {
  int32_t leaks = -1, valid = 0;
  csys_resourceReportLeaks(0, &leaks, &valid);
  return leaks;
}

}  // namespace pmtsys_test
