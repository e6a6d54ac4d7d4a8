// Argument and invariant checks inside the library: a failed check reports through the
// assertion report and execution continues, as every caller of the library expects.
#pragma once

#include "csys_assert.h"

#define CSYS_CHECK(condition) cstd_assert(condition)

// Passes a callee's failure up unchanged.
#define CSYS_RETURN_IF_FAILED(expression)         \
  do {                                            \
    const csys_status csys_rif_ = (expression);   \
    if (CSYS_FAILED(csys_rif_)) return csys_rif_; \
  } while (0)
