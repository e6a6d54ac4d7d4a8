// Timers: sums of start/stop intervals on one clock, corrected for what a start/stop pair costs.
// Start, stop and the readings are one clock read and a little arithmetic: no lock, no
// allocation.
#include "diag/check.h"
#include "timing/clock_internal.h"

namespace {

// Only an init sets the kind; anything else is a timer that was never initialized, read as
// system ticks so that no table lookup goes astray.
int32_t kindOf(const csys_timer* t) {
  CSYS_CHECK(t->clockKind == CSYS_CLOCK_SYSTEM_TICKS ||
             t->clockKind == CSYS_CLOCK_PROCESSOR_CYCLES);
  return t->clockKind == CSYS_CLOCK_PROCESSOR_CYCLES ? CSYS_CLOCK_PROCESSOR_CYCLES
                                                     : CSYS_CLOCK_SYSTEM_TICKS;
}

uint64_t rawTicks(const csys_timer* t) {
  uint64_t raw = csys_timerTicks_toU64(t->elapsed);
  if (t->isRunning != 0) {
    csys_timerTicks now{};
    csys_clock_readTicks(kindOf(t), &now);
    raw += csys_timerTicks_toU64(now) - csys_timerTicks_toU64(t->startTicks);
  }
  return raw;
}

// Raw ticks less one start/stop cost per interval (the open one included), never below zero.
// The cost is a small count: its low 32 bits are used, and an uncalibrated clock (all ones)
// takes nothing off.
csys_timerTicks correctedTicks(const csys_timer* t) {
  const csys_timerTicks raw = csys_timerTicks_fromU64(rawTicks(t));
  const uint64_t overhead = csys_clock_overhead(kindOf(t));
  const uint32_t perPair =
      overhead == CSYS_CLOCK_OVERHEAD_UNKNOWN ? 0u : static_cast<uint32_t>(overhead);
  const uint32_t correction = (t->intervals + (t->isRunning != 0 ? 1u : 0u)) * perPair;
  csys_timerTicks result{raw.low - correction, raw.high};
  if (result.low > raw.low) --result.high;
  if (result.high < 0) result = csys_timerTicks{0, 0};
  return result;
}

// The corrected ticks as a double, divided by the repetition count.
csys_status correctedTicksDouble(csys_timer* t, double* ticks) {
  CSYS_CHECK(t != nullptr && ticks != nullptr);
  if (t == nullptr || ticks == nullptr) return CSYS_E_INVALID_ARGUMENT;
  double d = csys_timerTicks_toDouble(correctedTicks(t));
  CSYS_CHECK(t->count >= 1);
  if (t->count >= 2) d /= t->count;
  *ticks = d;
  return CSYS_OK;
}

csys_status scaledSeconds(csys_timer* t, double scale, double* result) {
  double ticks = 0.0;
  CSYS_RETURN_IF_FAILED(correctedTicksDouble(t, &ticks));
  *result = ticks / static_cast<double>(csys_clock_ticksPerSecond(kindOf(t))) * scale;
  return CSYS_OK;
}

}  // namespace

csys_status csys_timer_initKind(csys_timer* t, int32_t startNow, int32_t kind) {
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *t = csys_timer{};
  t->clockKind = kind;
  t->count = 1;
  return startNow != 0 ? csys_timer_start(t) : CSYS_OK;
}

extern "C" {

CSYS_API csys_status csys_timer_init(csys_timer* t, int32_t startNow) {
  csys_clock_initCalibration();
  return csys_timer_initKind(t, startNow, CSYS_CLOCK_SYSTEM_TICKS);
}

CSYS_API csys_status csys_timer_initScaledProcessorCycles(csys_timer* t, int32_t startNow) {
  csys_clock_initCalibration();
  return csys_timer_initKind(t, startNow, CSYS_CLOCK_PROCESSOR_CYCLES);
}

CSYS_API csys_status csys_timer_start(csys_timer* t) {
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (t->isRunning == 0) {
    csys_clock_readTicks(kindOf(t), &t->startTicks);
    t->isRunning = 1;
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_stop(csys_timer* t) {
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (t->isRunning != 0) {
    t->elapsed = csys_timerTicks_fromU64(rawTicks(t));
    ++t->intervals;
    t->isRunning = 0;
  }
  return CSYS_OK;
}

// A running timer keeps running; its open interval restarts now.
CSYS_API csys_status csys_timer_reset(csys_timer* t) {
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  t->elapsed = csys_timerTicks{0, 0};
  t->intervals = 0;
  if (t->isRunning != 0) csys_clock_readTicks(kindOf(t), &t->startTicks);
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_getIsRunning(csys_timer* t, int32_t* running) {
  if (t == nullptr || running == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *running = static_cast<int32_t>(t->isRunning);
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_getCount(csys_timer* t, int32_t* count) {
  CSYS_CHECK(t != nullptr && count != nullptr);
  if (t == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *count = t->count;
  return CSYS_OK;
}

// A count below 1 is reported and stored as given, as the caller asked.
CSYS_API csys_status csys_timer_setCount(csys_timer* t, int32_t count) {
  CSYS_CHECK(t != nullptr && count >= 1);
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  t->count = count;
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_getRawTicks(csys_timer* t, csys_timerTicks* ticks) {
  if (t == nullptr || ticks == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *ticks = csys_timerTicks_fromU64(rawTicks(t));
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_getRawSystemTicks(csys_timerTicks* ticks) {
  if (ticks == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_clock_readTicks(CSYS_CLOCK_SYSTEM_TICKS, ticks);
  return CSYS_OK;
}

// Divided by the repetition count as unsigned 64-bit integers, truncating.
CSYS_API csys_status csys_timer_getTicks(csys_timer* t, csys_timerTicks* ticks) {
  CSYS_CHECK(t != nullptr && ticks != nullptr);
  if (t == nullptr || ticks == nullptr) return CSYS_E_INVALID_ARGUMENT;
  const csys_timerTicks corrected = correctedTicks(t);
  CSYS_CHECK(t->count >= 1);
  *ticks = t->count > 1 ? csys_timerTicks_fromU64(csys_timerTicks_toU64(corrected) /
                                                  static_cast<uint64_t>(t->count))
                        : corrected;
  return CSYS_OK;
}

CSYS_API csys_status csys_timer_getTicksDouble(csys_timer* t, double* ticks) {
  return correctedTicksDouble(t, ticks);
}

// Seconds, milliseconds and microseconds, each as csys_timerTime and as double (the same value).
#define CSYS_TIMER_SCALED_READING(unit, scale)                                      \
  CSYS_API csys_status csys_timer_get##unit(csys_timer* t, csys_timerTime* value) { \
    return scaledSeconds(t, scale, value);                                          \
  }                                                                                 \
  CSYS_API csys_status csys_timer_get##unit##Double(csys_timer* t, double* value) { \
    return scaledSeconds(t, scale, value);                                          \
  }
CSYS_TIMER_SCALED_READING(Seconds, 1.0)
CSYS_TIMER_SCALED_READING(Milliseconds, 1000.0)
CSYS_TIMER_SCALED_READING(Microseconds, 1000000.0)
#undef CSYS_TIMER_SCALED_READING

CSYS_API csys_status csys_timer_getTimerTicksPerSecond(csys_timer* t,
                                                       csys_timerTicksPerSecond* ticksPerSecond) {
  if (t == nullptr || ticksPerSecond == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *ticksPerSecond = csys_clock_ticksPerSecond(kindOf(t));
  return CSYS_OK;
}

}  // extern "C"
