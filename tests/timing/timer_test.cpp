// Timers and tick counts on a controllable clock: a system clock that advances a fixed step per
// read (so one start/stop pair costs exactly one step) and a cycle counter derived from it.
#include <gtest/gtest.h>

#include <optional>

#include "os/os.h"
#include "support/report_capture.h"
#include "timing/clock_internal.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

namespace {

constexpr uint64_t kStep = 1000;
uint64_t g_now = 0;
int g_systemReads = 0;
uint64_t g_cyclesPerFiveTicks = 12;
std::optional<uint32_t> g_nominalMHz;

void steppedSystemClock(csys_timerTicks* t) {
  ++g_systemReads;
  *t = csys_timerTicks_fromU64(g_now += kStep);
}
void derivedCycleCounter(csys_timerTicks* t) {
  *t = csys_timerTicks_fromU64(g_now * g_cyclesPerFiveTicks / 5);
}

// What the system records as the processor's nominal rate, and a counter without a frequency.
#if defined(_WIN32)
void installNominalMHz() {
  os_sys.RegQueryValueExA = [](HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data,
                               LPDWORD) -> LSTATUS {
    *type = REG_DWORD;
    if (g_nominalMHz) *reinterpret_cast<DWORD*>(data) = *g_nominalMHz;
    return g_nominalMHz ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
  };
}
void failCounterFrequency() {
  os_sys.QueryPerformanceFrequency = [](LARGE_INTEGER*) -> BOOL { return FALSE; };
}
#else
void installNominalMHz() {
  os_sys.processorNominalMHz = [](uint32_t* value) {
    if (g_nominalMHz) *value = *g_nominalMHz;
    return g_nominalMHz.has_value();
  };
}
void failCounterFrequency() {
  os_sys.clock_getres = [](clockid_t, timespec*) { return -1; };
}
#endif

class ControlledClock : public ::testing::Test {
 protected:
  void SetUp() override {
    csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, steppedSystemClock);
    csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, derivedCycleCounter);
    g_nominalMHz = 2400;
    installNominalMHz();
  }
  static void calibrate() {
    ASSERT_EQ(csys_clock_initCalibration(), CSYS_OK);
    ASSERT_EQ(csys_clock_overhead(CSYS_CLOCK_SYSTEM_TICKS), kStep);
  }
  static uint64_t ticks(csys_timer* t) {
    csys_timerTicks result{};
    EXPECT_EQ(csys_timer_getTicks(t, &result), CSYS_OK);
    return csys_timerTicks_toU64(result);
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
    csys_timerTicks_initAdd(&sum, &row.a, &row.b);
    csys_timerTicks_initSubtract(&difference, &row.a, &row.b);
    EXPECT_EQ(csys_timerTicks_toU64(sum), csys_timerTicks_toU64(row.sum));
    EXPECT_EQ(csys_timerTicks_toU64(difference), csys_timerTicks_toU64(row.difference));
  }
  double d = 0;
  EXPECT_EQ((csys_timerTicks_convertToDouble(&rows[3].difference, &d), d), -2 * 4294967296.0 + 10);
}

TEST_F(ControlledClock, NominalRateStartStopResetAndReadings) {
  calibrate();
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES), INT64_C(2400000000));
  EXPECT_EQ(g_systemReads, 200);  // the nominal rate needs no measurement: 100 pairs only
  csys_timer t{};
  ASSERT_EQ(csys_timer_init(&t, 0), CSYS_OK);
  double value = -1;
  csys_timer_getSecondsDouble(&t, &value);
  EXPECT_EQ(value, 0.0);
  csys_timer_start(&t);  // at once: the pair's cost is taken off
  csys_timer_stop(&t);
  EXPECT_EQ(ticks(&t), 0u);
  csys_timer_stop(&t);
  csys_timer_start(&t);
  csys_timer_start(&t);
  g_now += 4 * kStep + 3;
  csys_timer_stop(&t);
  EXPECT_EQ(ticks(&t), 4 * kStep + 3);
  csys_timer_setCount(&t, 4);
  EXPECT_EQ(ticks(&t), kStep);
  csys_timer_getTicksDouble(&t, &value);
  EXPECT_EQ(value, kStep + 0.75);
  const double seconds =
      value / static_cast<double>(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
  csys_timer_getSeconds(&t, &value);
  EXPECT_EQ(value, seconds);
  // Reset while running restarts the open interval and keeps the timer running.
  csys_timer_start(&t);
  g_now += 50 * kStep;
  csys_timer_reset(&t);
  EXPECT_EQ(t.intervals, 0u);
  EXPECT_EQ(t.isRunning, 1u);
  EXPECT_EQ(ticks(&t), 0u);
}

TEST_F(ControlledClock, CorrectionBorrowsNeverGoesNegativeAndElapsedTimeOfBareTicks) {
  calibrate();
  csys_timer t{};
  csys_timer_init(&t, 0);
  t.intervals = 1;
  t.elapsed = {5, 1};
  EXPECT_EQ(ticks(&t), (uint64_t{1} << 32) + 5 - kStep);
  t.elapsed = {3, 0};
  EXPECT_EQ(ticks(&t), 0u);
  t.elapsed = {0, 4};
  t.intervals = 0;
  csys_timer_setCount(&t, 4);
  EXPECT_EQ(ticks(&t), uint64_t{1} << 32);
  // Elapsed milliseconds between two system tick readings.
  const csys_timerTicks start{0xFFFFFFF0u, 2};
  const csys_timerTicks end = csys_timerTicks_fromU64(
      csys_timerTicks_toU64(start) + csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS) / 4);
  double ms = -1;
  csys_timerTicks_getElapsedMillisecondsDouble(&start, &start, &ms);
  EXPECT_EQ(ms, 0.0);
  csys_timerTicks_getElapsedMillisecondsDouble(&start, &end, &ms);
  EXPECT_DOUBLE_EQ(ms, 250.0);
  pmtsys_test::AssertCapture asserts;
  csys_timer_setCount(&t, 0);
  csys_timer_getTicks(&t, nullptr);
  csys_timerTicks_getElapsedMillisecondsDouble(&end, &start, &ms);
  EXPECT_EQ(asserts.count(), 3u);
}

TEST_F(ControlledClock, ProcessorRateIsMeasuredAgainstTheCounter) {
  g_nominalMHz.reset();
  int64_t frequency = 0;
  ASSERT_TRUE(os_queryPerformanceFrequency(&frequency));
  ASSERT_EQ(csys_clock_initCalibration(), CSYS_OK);
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES), frequency * 12 / 5);
}

// No rate: timers still count raw ticks and take nothing off; the next call tries again.
TEST_F(ControlledClock, UncalibratedTimersCountRawTicksAndCalibrationIsRetried) {
  g_nominalMHz.reset();
  g_cyclesPerFiveTicks = 0;
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_E_FAIL);
  EXPECT_EQ(asserts.count(), 1u);
  csys_timer t{};
  EXPECT_EQ(csys_timer_init(&t, 1), CSYS_OK);
  csys_timer_stop(&t);
  EXPECT_EQ(ticks(&t), kStep);
  csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, nullptr);
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_OK);
  EXPECT_LT(ticks(&t), kStep);
}

TEST_F(ControlledClock, CounterWithoutFrequencyLeavesItsRateAtZero) {
  failCounterFrequency();
  pmtsys_test::AssertCapture asserts;
  calibrate();
  EXPECT_EQ(asserts.count(), 2u);  // the query, and the rates' report of it
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS), 0);
}

}  // namespace
