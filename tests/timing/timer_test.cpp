// Timers and tick counts on a controllable clock: a system clock that advances a fixed step per
// read (so one start/stop pair costs exactly one step) and a cycle counter derived from it.
#include <gtest/gtest.h>

#include <optional>
#include <tuple>

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
  static uint64_t ticks(csys_timer* t) {
    csys_timerTicks result{};
    EXPECT_EQ(csys_timer_getTicks(t, &result), CSYS_OK);
    return csys_timerTicks_toU64(result);
  }
};

TEST(TimerTicks, ArithmeticCarriesAndBorrowsBetweenHalves) {
  const csys_timerTicks rows[][4] = {
      // a, b, a + b, a - b
      {{0xFFFFFFFFu, 0}, {1, 0}, {0, 1}, {0xFFFFFFFEu, 0}},
      {{0, 1}, {1, 0}, {1, 1}, {0xFFFFFFFFu, 0}},
      {{0, 0}, {1, 0}, {1, 0}, {0xFFFFFFFFu, -1}},
      {{5, -1}, {0xFFFFFFFBu, 0}, {0, 0}, {10, -2}},
  };
  for (const auto& [a, b, sum, difference] : rows) {
    csys_timerTicks got[2]{};
    csys_timerTicks_initAdd(&got[0], &a, &b);
    csys_timerTicks_initSubtract(&got[1], &a, &b);
    EXPECT_EQ(csys_timerTicks_toU64(got[0]), csys_timerTicks_toU64(sum));
    EXPECT_EQ(csys_timerTicks_toU64(got[1]), csys_timerTicks_toU64(difference));
  }
  double d = 0;
  EXPECT_EQ((csys_timerTicks_convertToDouble(&rows[3][3], &d), d), -2 * 4294967296.0 + 10);
}

// Each in a process of its own (rates are determined once): nominal rate, cycles per five counter
// ticks, whether the counter has a frequency; status, assertion reports.
using Calibration = std::tuple<std::optional<uint32_t>, int64_t, bool, csys_status, size_t>;
class Calibrate : public ControlledClock, public ::testing::WithParamInterface<Calibration> {};

TEST_P(Calibrate, RatesFromTheNominalRateOrMeasuredOrNone) {
  const auto& [mhz, cycles, counter, status, reports] = GetParam();
  g_nominalMHz = mhz;
  g_cyclesPerFiveTicks = static_cast<uint64_t>(cycles);
  int64_t frequency = 0;
  ASSERT_TRUE(os_queryPerformanceFrequency(&frequency));
  if (!counter) failCounterFrequency();
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_clock_initCalibration(), status);
  EXPECT_EQ(asserts.count(), reports);
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS), counter ? frequency : 0);
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES),
            mhz ? *mhz * int64_t{1000000} : frequency * cycles / 5);
  EXPECT_TRUE(!mhz || g_systemReads == 200);  // no measurement: 100 pairs only
  csys_timer t{};
  EXPECT_EQ(csys_timer_init(&t, 1), CSYS_OK);
  csys_timer_stop(&t);
  // Uncalibrated timers take nothing off; the next call tries again.
  EXPECT_EQ(ticks(&t), CSYS_FAILED(status) ? kStep : 0u);
  csys_clock_replaceTickReader(CSYS_CLOCK_PROCESSOR_CYCLES, nullptr);
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_OK);
  EXPECT_LT(ticks(&t), kStep);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, Calibrate,
                         ::testing::Values(Calibration{2400, 12, true, CSYS_OK, 0},
                                           Calibration{{}, 12, true, CSYS_OK, 0},
                                           Calibration{{}, 0, true, CSYS_E_FAIL, 1},
                                           Calibration{2400, 12, false, CSYS_OK, 2}));

TEST_F(ControlledClock, StartStopResetReadingsAndTheCorrection) {
  // A counter that stands still (its reads failing) ends the measurement without a rate.
  pmtsys_test::AssertCapture asserts;
  g_nominalMHz.reset();
  csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, [](csys_timerTicks* t) { *t = {}; });
  EXPECT_EQ(csys_clock_initCalibration(), CSYS_E_FAIL);
  EXPECT_EQ(csys_clock_ticksPerSecond(CSYS_CLOCK_PROCESSOR_CYCLES), 0);
  SetUp();
  ASSERT_EQ(csys_clock_initCalibration(), CSYS_OK);
  ASSERT_EQ(csys_clock_overhead(CSYS_CLOCK_SYSTEM_TICKS), kStep);
  csys_timer t{};
  ASSERT_EQ(csys_timer_init(&t, 0), CSYS_OK);
  double value = -1;
  EXPECT_EQ((csys_timer_getSecondsDouble(&t, &value), value), 0.0);
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
  EXPECT_EQ((csys_timer_getTicksDouble(&t, &value), value), kStep + 0.75);
  const double seconds =
      value / static_cast<double>(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
  EXPECT_EQ((csys_timer_getSeconds(&t, &value), value), seconds);
  // Reset while running restarts the open interval and keeps the timer running.
  csys_timer_start(&t);
  g_now += 50 * kStep;
  csys_timer_reset(&t);
  EXPECT_EQ(t.intervals + (1 - t.isRunning), 0u);
  EXPECT_EQ(ticks(&t), 0u);
  // The correction borrows across the halves and never goes negative.
  csys_timer_init(&t, 0);
  const std::tuple<csys_timerTicks, uint32_t, uint32_t, uint64_t> corrected[] = {
      {{5, 1}, 1, 1, (uint64_t{1} << 32) + 5 - kStep},  // elapsed, intervals, count, ticks
      {{3, 0}, 1, 1, 0},
      {{0, 4}, 0, 4, uint64_t{1} << 32}};
  for (const auto& [elapsed, intervals, count, want] : corrected) {
    t.elapsed = elapsed;
    t.intervals = intervals;
    csys_timer_setCount(&t, static_cast<int32_t>(count));
    EXPECT_EQ(ticks(&t), want);
  }
  const csys_timerTicks start{0xFFFFFFF0u, 2};
  const csys_timerTicks end = csys_timerTicks_fromU64(
      csys_timerTicks_toU64(start) + csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS) / 4);
  double ms = -1;
  EXPECT_EQ((csys_timerTicks_getElapsedMillisecondsDouble(&start, &start, &ms), ms), 0.0);
  EXPECT_DOUBLE_EQ((csys_timerTicks_getElapsedMillisecondsDouble(&start, &end, &ms), ms), 250.0);
  csys_timer_setCount(&t, 0);
  csys_timer_getTicks(&t, nullptr);
  csys_timerTicks_getElapsedMillisecondsDouble(&end, &start, &ms);
  EXPECT_EQ(asserts.count(), 4u);  // the failed calibration and three refusals
}

}  // namespace
