/* Atomic read-modify-write on caller-owned values, and the library's sleep. */
#ifndef CSYS_ATOMIC_H
#define CSYS_ATOMIC_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* Full-barrier operations on the caller's value (target must not be null); a null result
 * pointer skips that store. Always 0. ExchangePtr swaps *target and *valueInOut. */
CSYS_API csys_status csys_atomicIncrement(int32_t* target, int32_t* newValue);
CSYS_API csys_status csys_atomicDecrement(int32_t* target, int32_t* newValue);
CSYS_API csys_status csys_atomicExchange(int32_t* target, int32_t value, int32_t* oldValue);
CSYS_API csys_status csys_atomicExchangePtr(void** target, void** valueInOut);

/* Sleeps for the given seconds (rounded to milliseconds, at least 1 ms when positive); 0.0
 * yields, +infinity never returns, negative or NaN is refused with CSYS_E_INVALID_ARGUMENT. */
CSYS_API csys_status csys_sleep(double seconds);

CSYS_EXTERN_C_END

#endif /* CSYS_ATOMIC_H */
