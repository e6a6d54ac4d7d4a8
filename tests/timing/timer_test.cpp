// Timers and tick counts on a controllable clock: a system clock that advances a fixed step per
// read (so one start/stop pair costs exactly one step) and a cycle counter derived from it.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "csys_timer.h"
#include "os/os.h"
#include "support/report_capture.h"
#include "timing/clock_internal.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

namespace {

using pmtsys_test::AssertCapture;

constexpr uint64_t kStep = 1000;
uint64_t g_now = 0;
int g_systemReads = 0;

void steppedSystemClock(csys_timerTicks* t) {
  ++g_systemReads;
  *t = csys_timerTicks_fromU64(g_now += kStep);
}
// 12/5 cycles per system tick.
void derivedCycleCounter(csys_timerTicks* t) {
  *t = csys_timerTicks_fromU64(g_now * 12 / 5);
}
void stoppedCycleCounter(csys_timerTicks* t) {
  *t = csys_timerTicks{7, 0};
}

// What the system records as the processor's nominal rate (nullopt: nothing).
void setNominalMHz(std::optional<uint32_t> mhz) {
  static std::optional<uint32_t> s_mhz;
  s_mhz = mhz;
#if defined(_WIN32)
  os_sys.RegQueryValueExA = [](HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data,
                               LPDWORD size) -> LSTATUS {
    if (!s_mhz) return ERROR_FILE_NOT_FOUND;
    *type = REG_DWORD;
    *reinterpret_cast<DWORD*>(data) = *s_mhz;
    *size = sizeof(DWORD);
    return ERROR_SUCCESS;
  };
#else
  os_sys.processorNominalMHz = [](uint32_t* value) {
    if (s_mhz) *value = *s_mhz;
    return s_mhz.has_value();
  };
#endif
}

void failCounterFrequency() {
#if defined(_WIN32)
  os_sys.QueryPerformanceFrequency = [](LARGE_INTEGER*) -> BOOL { return FALSE; };
#else
  os_sys.clock_getres = [](clockid_t, timespec*) { return -1; };
#endif
}

class ControlledClock : public ::testing::Test {
 protected:
  void SetUp() override {
    csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, steppedSystemClock);
    csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, derivedCycleCounter);
  }
  // Calibrated with a nominal rate: one start/stop pair costs one step.
  void calibrate() {
    setNominalMHz(2400);
    ASSERT_EQ(csys_clock_initCalibration(), CSYS_OK);
    ASSERT_EQ(csys_clock_overhead(CSYS_CLOCK_SYSTEM_TICKS), kStep);
  }
  csys_timerTicks ticks(csys_timer* t) {
    csys_timerTicks result{};
    EXPECT_EQ(csys_timer_getTicks(t, &result), CSYS_OK);
    return result;
  }
};

TEST(TimerTicks, ArithmeticCarriesAndBorrowsBetweenHalves) {
  struct Row {
    csys_timerTicks a, b, sum, difference;
  };
  const Row rows[] = {
      {{0xFFFFFFFFu, 0}, {1, 0}, {0, 1}, {0xFFFFFFFEu, 0}},
      {{0, 1}, {1, 0}, {1, 1}, {0xFFFFFFFFu, 0}},
      {{0, 0}, {1, 0}, {1, 0}, {0xFFFFFFFFu, -1}},
      {{5, -1}, {0xFFFFFFFBu, 0}, {0, 0}, {10, -2}},
  };
  for (const Row& row : rows) {
    csys_timerTicks sum{}, difference{};
    EXPECT_EQ(csys_timerTicks_initAdd(&sum, &row.a, &row.b), CSYS_OK);
    EXPECT_EQ(csys_timerTicks_initSubtract(&difference, &row.a, &row.b), CSYS_OK);
    EXPECT_EQ(sum.low, row.sum.low);
    EXPECT_EQ(sum.high, row.sum.high);
    EXPECT_EQ(difference.low, row.difference.low);
    EXPECT_EQ(difference.high, row.difference.high);
  }
  double d = 0;
  const csys_timerTicks minus{0, -1}, mixed{3, -2};
  csys_timerTicks_convertToDouble(&minus, &d);
  EXPECT_EQ(d, -4294967296.0);
  csys_timerTicks_convertToDouble(&mixed, &d);
  EXPECT_EQ(d, -2 * 4294967296.0 + 3);
  const csys_timerTicksPerSecond rate = INT64_C(1) << 40;
  csys_timerTicksPerSecond_convertToDouble(&rate, &d);
  EXPECT_EQ(d, 1099511627776.0);
}

TEST_F(ControlledClock, ElapsedMillisecondsOfSystemTicks) {
  calibrate();
  const int64_t rate = csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS);
  const csys_timerTicks start{0xFFFFFFF0u, 2};
  const csys_timerTicks end = csys_timerTicks_fromU64(csys_timerTicks_toU64(start) + rate / 4);
  double ms = -1;
  EXPECT_EQ(csys_timerTicks_getElapsedMillisecondsDouble(&start, &start, &ms), CSYS_OK);
  EXPECT_EQ(ms, 0.0);
  EXPECT_EQ(csys_timerTicks_getElapsedMillisecondsDouble(&start, &end, &ms), CSYS_OK);
  EXPECT_DOUBLE_EQ(ms, 250.0);
  AssertCapture asserts;
  csys_timerTicks_getElapsedMillisecondsDouble(&end, &start, &ms);
  EXPECT_EQ(asserts.count(), 1u);
}

TEST_F(ControlledClock, StartStopResetAndReadings) {
  calibrate();
  csys_timer t{};
  ASSERT_EQ(csys_timer_init(&t, 0), CSYS_OK);
  double seconds = -1;
  int32_t running = -1, count = -1;
  csys_timer_getSecondsDouble(&t, &seconds);
  csys_timer_getIsRunning(&t, &running);
  csys_timer_getCount(&t, &count);
  EXPECT_EQ(ticks(&t).low, 0u);
  EXPECT_EQ(seconds, 0.0);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(count, 1);

  // At once: the one pair's cost is taken off.
  csys_timer_start(&t);
  csys_timer_stop(&t);
  EXPECT_EQ(ticks(&t).low, 0u);
  csys_timer_stop(&t);
  EXPECT_EQ(t.intervals, 1u);

  csys_timer_start(&t);
  csys_timer_start(&t);
  g_now += 4 * kStep + 3;
  csys_timer_stop(&t);
  EXPECT_EQ(t.intervals, 2u);
  EXPECT_EQ(ticks(&t).low, 4 * kStep + 3);
  csys_timer_setCount(&t, 4);
  double d = 0;
  csys_timer_getTicksDouble(&t, &d);
  EXPECT_EQ(ticks(&t).low, kStep);
  EXPECT_EQ(d, kStep + 0.75);
  const double rate = static_cast<double>(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
  const double expected = d / rate;
  for (auto get : {csys_timer_getSeconds, csys_timer_getSecondsDouble}) {
    get(&t, &seconds);
    EXPECT_EQ(seconds, expected);
  }
  csys_timer_getMilliseconds(&t, &seconds);
  EXPECT_EQ(seconds, expected * 1000.0);
  csys_timer_getMicrosecondsDouble(&t, &seconds);
  EXPECT_EQ(seconds, expected * 1000000.0);

  // Reset while running restarts the open interval and keeps the timer running.
  csys_timer_setCount(&t, 1);
  csys_timer_start(&t);
  g_now += 50 * kStep;
  csys_timer_reset(&t);
  EXPECT_EQ(t.intervals, 0u);
  EXPECT_EQ(t.isRunning, 1u);
  EXPECT_EQ(ticks(&t).low, 0u);
}

TEST_F(ControlledClock, CorrectionBorrowsNeverGoesNegativeAndDividesBothHalves) {
  calibrate();
  csys_timer t{};
  csys_timer_init(&t, 0);
  t.intervals = 1;
  t.elapsed = {5, 1};  // 2^32 + 5, one step taken off
  EXPECT_EQ(ticks(&t).low, 0xFFFFFFFFu - kStep + 6);
  EXPECT_EQ(ticks(&t).high, 0);
  t.elapsed = {3, 0};
  EXPECT_EQ(ticks(&t).low, 0u);
  t.elapsed = {0, 4};
  t.intervals = 0;
  csys_timer_setCount(&t, 4);
  EXPECT_EQ(ticks(&t).high, 1);
  AssertCapture asserts;
  csys_timer_setCount(&t, 0);
  csys_timer_getTicks(&t, nullptr);
  EXPECT_EQ(asserts.count(), 2u);
}

TEST_F(ControlledClock, NominalRateNeedsNoMeasurement) {
  calibrate();
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES), INT64_C(2400000000));
  EXPECT_EQ(g_systemReads, 200);  // the 100 overhead pairs only
}

TEST_F(ControlledClock, ProcessorRateIsMeasuredAgainstTheCounter) {
  setNominalMHz(std::nullopt);
  int64_t frequency = 0;
  ASSERT_TRUE(os_queryPerformanceFrequency(&frequency));
  ASSERT_EQ(csys_clock_initCalibration(), CSYS_OK);
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES), frequency * 12 / 5);
  csys_timer t{};
  csys_timer_initScaledProcessorCycles(&t, 1);
  EXPECT_EQ(ticks(&t).low, 0u);
}

// No rate: timers still count raw ticks and take nothing off; the next call tries again.
TEST_F(ControlledClock, UncalibratedTimersCountRawTicksAndCalibrationIsRetried) {
  setNominalMHz(std::nullopt);
  csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, stoppedCycleCounter);
  AssertCapture asserts;
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_E_FAIL);
  EXPECT_EQ(asserts.count(), 1u);
  csys_timer t{};
  EXPECT_EQ(csys_timer_init(&t, 1), CSYS_OK);
  csys_timer_stop(&t);
  EXPECT_EQ(ticks(&t).low, kStep);
  EXPECT_EQ(csys_clock_overhead(CSYS_CLOCK_SYSTEM_TICKS), CSYS_CLOCK_OVERHEAD_UNKNOWN);
  csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, derivedCycleCounter);
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_OK);
  EXPECT_EQ(ticks(&t).low, 0u);
}

TEST_F(ControlledClock, CounterWithoutFrequencyLeavesItsRateAtZero) {
  failCounterFrequency();
  calibrate();
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS), 0);
  csys_timer t{};
  csys_timer_init(&t, 0);
  g_now += kStep;
  double seconds = 0;
  t.elapsed = {1, 0};
  csys_timer_getSecondsDouble(&t, &seconds);
  EXPECT_TRUE(std::isinf(seconds));
}

// The real clocks: a start/stop pair at once reads at most about one pair's cost.
TEST(Timer, StartStopAtOnceReadsNearZeroOnBothClocks) {
  for (auto init : {csys_timer_init, csys_timer_initScaledProcessorCycles}) {
    csys_timer t{};
    init(&t, 0);
    uint64_t least = UINT64_MAX;
    for (int i = 0; i < 100; ++i) {
      csys_timer_reset(&t);
      csys_timer_start(&t);
      csys_timer_stop(&t);
      csys_timerTicks corrected{};
      csys_timer_getTicks(&t, &corrected);
      least = std::min(least, csys_timerTicks_toU64(corrected));
    }
    EXPECT_LE(least, csys_clock_overhead(t.clockKind));
    EXPECT_GT(csys_clock_ticksPerSecond(t.clockKind), 0);
  }
}

}  // namespace
