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

// The outcome of two steps that both run: the first failure, else the second step's status.
inline csys_status csys_firstFailure(csys_status first, csys_status second) {
  return CSYS_FAILED(first) ? first : second;
}

// Folds a later step's status into an operation's result, which keeps its first failure.
inline void csys_mergeStatus(csys_status* status, csys_status result) {
  *status = csys_firstFailure(*status, result);
}
