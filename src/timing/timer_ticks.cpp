// Arithmetic on bare tick counts: 64-bit two's complement held as a low unsigned and a high
// signed half, with carries and borrows between the halves.
#include "diag/check.h"
#include "timing/clock_internal.h"

extern "C" {

CSYS_API csys_status csys_timerTicks_initZero(csys_timerTicks* t) {
  CSYS_CHECK(t != nullptr);
  if (t == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *t = csys_timerTicks{0, 0};
  return CSYS_OK;
}

CSYS_API csys_status csys_timerTicks_initAdd(csys_timerTicks* result, const csys_timerTicks* a,
                                             const csys_timerTicks* b) {
  CSYS_CHECK(result != nullptr && a != nullptr && b != nullptr);
  if (result == nullptr || a == nullptr || b == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *result = csys_timerTicks_fromU64(csys_timerTicks_toU64(*a) + csys_timerTicks_toU64(*b));
  return CSYS_OK;
}

CSYS_API csys_status csys_timerTicks_initSubtract(csys_timerTicks* result, const csys_timerTicks* a,
                                                  const csys_timerTicks* b) {
  CSYS_CHECK(result != nullptr && a != nullptr && b != nullptr);
  if (result == nullptr || a == nullptr || b == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *result = csys_timerTicks_fromU64(csys_timerTicks_toU64(*a) - csys_timerTicks_toU64(*b));
  return CSYS_OK;
}

CSYS_API csys_status csys_timerTicks_convertToDouble(const csys_timerTicks* t, double* d) {
  if (t == nullptr || d == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *d = csys_timerTicks_toDouble(*t);
  return CSYS_OK;
}

// The readings are system ticks (the clock of csys_timer_getRawSystemTicks).
CSYS_API csys_status csys_timerTicks_getElapsedMillisecondsDouble(const csys_timerTicks* start,
                                                                  const csys_timerTicks* end,
                                                                  double* ms) {
  CSYS_CHECK(start != nullptr && end != nullptr && ms != nullptr);
  if (start == nullptr || end == nullptr || ms == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_CHECK(end->high > start->high || (end->high == start->high && end->low >= start->low));
  const double diff = csys_timerTicks_toDouble(
      csys_timerTicks_fromU64(csys_timerTicks_toU64(*end) - csys_timerTicks_toU64(*start)));
  csys_clock_initCalibration();
  *ms = diff * 1000.0 / static_cast<double>(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
  return CSYS_OK;
}

CSYS_API csys_status csys_timerTime_convertToDouble(const csys_timerTime* t, double* d) {
  if (t == nullptr || d == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *d = *t;
  return CSYS_OK;
}

CSYS_API csys_status csys_timerTicksPerSecond_convertToDouble(const csys_timerTicksPerSecond* t,
                                                              double* d) {
  if (t == nullptr || d == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *d = static_cast<double>(*t);
  return CSYS_OK;
}

}  // extern "C"
