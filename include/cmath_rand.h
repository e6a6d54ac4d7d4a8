/* A per-thread pseudo-random generator: state * 214013 + 2531011 modulo 2^32, 15-bit results.
 * Each thread has its own state (1 until seeded), freed with the thread's per-thread values. */
#ifndef CMATH_RAND_H
#define CMATH_RAND_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Sets the calling thread's state. */
CSYS_API void cmath_srand(uint32_t seed);
/* 0 to 32767; -1 when the thread's state cannot be had (after an assertion report). */
CSYS_API int32_t cmath_rand(void);

CSYS_EXTERN_C_END

#endif /* CMATH_RAND_H */
