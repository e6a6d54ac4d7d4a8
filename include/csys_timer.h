/* Timers and tick counts on two clocks: the system's high-resolution counter and the processor's
 * cycle counter. */
#ifndef CSYS_TIMER_H
#define CSYS_TIMER_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* A 64-bit tick count in two halves, low first; arithmetic carries and borrows between them. */
typedef struct csys_timerTicks {
  uint32_t low;
  int32_t high;
} csys_timerTicks;

typedef int64_t csys_timerTicksPerSecond;
typedef double csys_timerTime;

/* Clock kinds. */
#define CSYS_CLOCK_SYSTEM_TICKS 0
#define CSYS_CLOCK_PROCESSOR_CYCLES 1

/* Caller-allocated; one thread at a time per timer. */
typedef struct csys_timer {
  csys_timerTicks elapsed;    /* sum of the completed intervals */
  uint32_t isRunning;         /* 1 while an interval is open */
  csys_timerTicks startTicks; /* clock reading at the start of the open interval */
  uint32_t intervals;         /* completed intervals since init or reset */
  int32_t clockKind;          /* CSYS_CLOCK_SYSTEM_TICKS or CSYS_CLOCK_PROCESSOR_CYCLES */
  int32_t count;              /* repetition count (at least 1) the results are divided by */
} csys_timer;

CSYS_API csys_status csys_timer_init(csys_timer* t, int32_t startNow);
CSYS_API csys_status csys_timer_initScaledProcessorCycles(csys_timer* t, int32_t startNow);
CSYS_API csys_status csys_timer_start(csys_timer* t);
CSYS_API csys_status csys_timer_stop(csys_timer* t);
CSYS_API csys_status csys_timer_reset(csys_timer* t);
CSYS_API csys_status csys_timer_getIsRunning(csys_timer* t, int32_t* running);
CSYS_API csys_status csys_timer_getCount(csys_timer* t, int32_t* count);
CSYS_API csys_status csys_timer_setCount(csys_timer* t, int32_t count);
CSYS_API csys_status csys_timer_getRawTicks(csys_timer* t, csys_timerTicks* ticks);
CSYS_API csys_status csys_timer_getRawSystemTicks(csys_timerTicks* ticks);
CSYS_API csys_status csys_timer_getTicks(csys_timer* t, csys_timerTicks* ticks);
CSYS_API csys_status csys_timer_getTicksDouble(csys_timer* t, double* ticks);
CSYS_API csys_status csys_timer_getSeconds(csys_timer* t, csys_timerTime* seconds);
CSYS_API csys_status csys_timer_getSecondsDouble(csys_timer* t, double* seconds);
CSYS_API csys_status csys_timer_getMilliseconds(csys_timer* t, csys_timerTime* milliseconds);
CSYS_API csys_status csys_timer_getMillisecondsDouble(csys_timer* t, double* milliseconds);
CSYS_API csys_status csys_timer_getMicroseconds(csys_timer* t, csys_timerTime* microseconds);
CSYS_API csys_status csys_timer_getMicrosecondsDouble(csys_timer* t, double* microseconds);
CSYS_API csys_status csys_timer_getTimerTicksPerSecond(csys_timer* t,
                                                       csys_timerTicksPerSecond* ticksPerSecond);

CSYS_API csys_status csys_timerTicks_initZero(csys_timerTicks* t);
CSYS_API csys_status csys_timerTicks_initAdd(csys_timerTicks* result, const csys_timerTicks* a,
                                             const csys_timerTicks* b);
CSYS_API csys_status csys_timerTicks_initSubtract(csys_timerTicks* result, const csys_timerTicks* a,
                                                  const csys_timerTicks* b);
CSYS_API csys_status csys_timerTicks_convertToDouble(const csys_timerTicks* t, double* d);
/* Milliseconds from `start` to `end`, both read from the system clock; `end` must not be
 * earlier. */
CSYS_API csys_status csys_timerTicks_getElapsedMillisecondsDouble(const csys_timerTicks* start,
                                                                  const csys_timerTicks* end,
                                                                  double* ms);
CSYS_API csys_status csys_timerTime_convertToDouble(const csys_timerTime* t, double* d);
CSYS_API csys_status csys_timerTicksPerSecond_convertToDouble(const csys_timerTicksPerSecond* t,
                                                              double* d);

CSYS_EXTERN_C_END

#endif /* CSYS_TIMER_H */
