/* Assertion reports for programming errors: report and return, never stop. */
#ifndef CSYS_ASSERT_H
#define CSYS_ASSERT_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Writes a zero-terminated version text into a buffer of CSTD_ASSERT_VERSION_CAPACITY chars. */
#define CSTD_ASSERT_VERSION_CAPACITY 256
typedef csys_status (*cstd_AssertGetVersionAFunc)(char* buffer);

/* Reports a programming error at the caller's code address and source line; returns the status
 * of the version-text function (a failure suppresses the report). */
CSYS_API csys_status cstd_assert_(uint32_t line);

/* Replaces the version-text function; null restores the built-in one. */
CSYS_API csys_status cstd_installAssertGetVersionAFunc_(cstd_AssertGetVersionAFunc func);

CSYS_EXTERN_C_END

/* Checks a condition and reports when it does not hold; execution continues either way. */
#define cstd_assert(condition) ((condition) ? (void)0 : (void)cstd_assert_((uint32_t)__LINE__))

#endif /* CSYS_ASSERT_H */
