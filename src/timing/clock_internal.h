// The two clocks behind the timers: how each is read, its rate and the cost of one start/stop
// pair, calibrated once per process. Readers of the table take no lock: calibration publishes
// its values through once-initialization, and every use of a timer follows an init that ran it.
#pragma once

#include <atomic>
#include <cstdint>

#include "csys_timer.h"

inline constexpr int32_t CSYS_CLOCK_KINDS = 2;
// The start/stop cost of a clock before calibration measured it.
inline constexpr uint64_t CSYS_CLOCK_OVERHEAD_UNKNOWN = UINT64_MAX;

using csys_clock_tickReader = void (*)(csys_timerTicks* ticks);

struct csys_clockEntry {
  std::atomic<csys_clock_tickReader> read;
  std::atomic<int64_t> ticksPerSecond;
  std::atomic<uint64_t> overhead;
};

extern csys_clockEntry csys_clock_table[CSYS_CLOCK_KINDS];

// Tick counts as the 64-bit two's-complement values they stand for.
inline uint64_t csys_timerTicks_toU64(const csys_timerTicks& t) {
  return uint64_t{static_cast<uint32_t>(t.high)} << 32 | t.low;
}
inline csys_timerTicks csys_timerTicks_fromU64(uint64_t value) {
  return csys_timerTicks{static_cast<uint32_t>(value), static_cast<int32_t>(value >> 32)};
}

// high × 2^32 + low, the high half signed.
inline double csys_timerTicks_toDouble(const csys_timerTicks& t) {
  return static_cast<double>(t.high) * 4294967296.0 + static_cast<double>(t.low);
}

// `kind` is 0 or 1.
inline void csys_clock_readTicks(int32_t kind, csys_timerTicks* ticks) {
  csys_clock_table[kind].read.load(std::memory_order_relaxed)(ticks);
}
inline int64_t csys_clock_ticksPerSecond(int32_t kind) {
  return csys_clock_table[kind].ticksPerSecond.load(std::memory_order_relaxed);
}
inline uint64_t csys_clock_overhead(int32_t kind) {
  return csys_clock_table[kind].overhead.load(std::memory_order_relaxed);
}

// Determines both rates, then both start/stop overheads, each once per process. A failed
// processor rate leaves both undone, to be tried again by the next call.
csys_status csys_clock_initCalibration();

// A timer of `kind` without the calibration call: what the public inits and the overhead
// measurement share.
csys_status csys_timer_initKind(csys_timer* t, int32_t startNow, int32_t kind);

// The seam for a controllable clock: replaces the tick reader of `kind` (null restores the
// built-in one) and returns the one it replaced. Everything that reads the clock (timers, bare
// system ticks, the processor-rate measurement) goes through it.
csys_clock_tickReader csys_clock_replaceTickReader(int32_t kind, csys_clock_tickReader reader);
