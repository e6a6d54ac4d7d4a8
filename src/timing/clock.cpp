// Clock calibration: the rate of each clock and the cost of one timer start/stop pair on it.
// The processor's rate comes from what the system records as its nominal rate or, failing that,
// from counting cycles across a 20 ms window of the performance counter.
#include <algorithm>

#include "csys_sync.h"
#include "diag/check.h"
#include "os/os.h"
#include "os/processor.h"
#include "timing/clock_internal.h"

namespace {

constexpr uint32_t kHertzPerMegahertz = 1000000;
constexpr double kMeasureWindowSeconds = 0.02;
constexpr double kGoodEnoughUncertainty = 0.1;  // percent of the window
constexpr int kMaxMeasureTries = 25;
// Reads without a change after which the counter counts as stopped (a 10 MHz counter changes
// every few reads).
constexpr int32_t kStillReads = 1 << 20;
constexpr int kOverheadPairs = 100;

void readSystemTicks(csys_timerTicks* ticks) {
  *ticks = csys_timerTicks_fromU64(static_cast<uint64_t>(os_queryPerformanceCounter()));
}

// The time-stamp counter is an instruction, not a system call.
void readProcessorCycles(csys_timerTicks* ticks) {
  *ticks = csys_timerTicks_fromU64(os_readTimeStampCounter());
}

constexpr csys_clock_tickReader kDefaultReaders[CSYS_CLOCK_KINDS] = {readSystemTicks,
                                                                     readProcessorCycles};

int32_t g_ratesOnce = 0;
int32_t g_overheadsOnce = 0;
// Only the first successful determination counts; written under the global mutex.
uint32_t g_processorHz = 0;

uint32_t readLow(int32_t kind) {
  csys_timerTicks ticks{};
  csys_clock_readTicks(kind, &ticks);
  return ticks.low;
}

void storeRate(int32_t kind, int64_t rate) {
  csys_clock_table[kind].ticksPerSecond.store(rate, std::memory_order_relaxed);
}

// A frequency the system cannot give, or one of 2^32 or more, leaves the rate at 0.
csys_status getCounterRate() {
  int64_t frequency = 0;
  const bool known = os_queryPerformanceFrequency(&frequency);
  CSYS_CHECK(known && frequency >= 1 && frequency <= int64_t{UINT32_MAX});
  if (!known || frequency < 1 || frequency > int64_t{UINT32_MAX}) return CSYS_E_FAIL;
  storeRate(CSYS_CLOCK_SYSTEM_TICKS, frequency);
  return CSYS_OK;
}

// Cycles across a 20 ms window of the performance counter, bracketed by counter reads whose own
// cost bounds the uncertainty; the try with the smallest uncertainty wins. Differences are
// taken on the low 32 bits, which a 20 ms window never wraps twice.
uint32_t measureProcessorHz() {
  int64_t frequency = 0;
  if (!os_queryPerformanceFrequency(&frequency)) return 0;
  const double f = static_cast<uint32_t>(frequency);
  if (f == 0.0) return 0;
  const auto seconds = [f](uint32_t from, uint32_t to) { return (to - from) / f; };
  double bestUncertainty = 100.0;
  uint32_t bestRate = 0;
  for (int tries = 0; bestUncertainty > kGoodEnoughUncertainty && tries < kMaxMeasureTries;
       ++tries) {
    const uint32_t t0 = readLow(CSYS_CLOCK_SYSTEM_TICKS);
    const uint32_t c0 = readLow(CSYS_CLOCK_PROCESSOR_CYCLES);
    const uint32_t t1 = readLow(CSYS_CLOCK_SYSTEM_TICKS);
    // A counter that stands still (its reads failing) would never end the window: no rate.
    uint32_t previous = t1;
    for (int32_t still = 0; seconds(t0, previous) < kMeasureWindowSeconds;) {
      const uint32_t now = readLow(CSYS_CLOCK_SYSTEM_TICKS);
      still = now == previous ? still + 1 : 0;
      if (still == kStillReads) return 0;
      previous = now;
    }
    const uint32_t t2 = readLow(CSYS_CLOCK_SYSTEM_TICKS);
    const uint32_t c1 = readLow(CSYS_CLOCK_PROCESSOR_CYCLES);
    const uint32_t t3 = readLow(CSYS_CLOCK_SYSTEM_TICKS);
    const double span = seconds(t0, t2);
    const double uncertainty = 100.0 * (seconds(t0, t1) + seconds(t2, t3)) / span;
    if (!(uncertainty >= bestUncertainty)) {
      bestUncertainty = uncertainty;
      bestRate = static_cast<uint32_t>(static_cast<uint64_t>((c1 - c0) / span + 0.5));
    }
  }
  return bestRate;
}

csys_status getProcessorHz() {
  if (g_processorHz == 0) {
    uint32_t mhz = 0;
    if (os_processorNominalMHz(&mhz)) g_processorHz = mhz * kHertzPerMegahertz;
  }
  if (g_processorHz == 0) g_processorHz = measureProcessorHz();
  storeRate(CSYS_CLOCK_PROCESSOR_CYCLES, g_processorHz);
  return g_processorHz != 0 ? CSYS_OK : CSYS_E_FAIL;
}

// A failed counter rate is reported and stays 0 for good; only the processor rate's status
// decides whether the rates count as determined.
csys_status initRates(void*) {
  csys_status status = CSYS_OK;
  for (const auto getter : {getCounterRate, getProcessorHz}) {
    status = getter();
    CSYS_CHECK(CSYS_SUCCEEDED(status));
  }
  return status;
}

// The cheapest of many start/stop pairs is what the pair itself costs.
csys_status measureOverhead(int32_t kind, uint64_t* overhead) {
  csys_timer timer{};
  CSYS_RETURN_IF_FAILED(csys_timer_initKind(&timer, 0, kind));
  CSYS_RETURN_IF_FAILED(csys_timer_stop(&timer));
  CSYS_RETURN_IF_FAILED(csys_timer_reset(&timer));
  uint64_t minimum = UINT64_MAX;
  for (int pair = 0; pair < kOverheadPairs; ++pair) {
    CSYS_RETURN_IF_FAILED(csys_timer_reset(&timer));
    CSYS_RETURN_IF_FAILED(csys_timer_start(&timer));
    CSYS_RETURN_IF_FAILED(csys_timer_stop(&timer));
    csys_timerTicks raw{};
    CSYS_RETURN_IF_FAILED(csys_timer_getRawTicks(&timer, &raw));
    minimum = std::min(minimum, csys_timerTicks_toU64(raw));
  }
  *overhead = minimum;
  return CSYS_OK;
}

csys_status initOverheads(void*) {
  csys_status status = CSYS_OK;
  for (int32_t kind = 0; kind < CSYS_CLOCK_KINDS; ++kind) {
    uint64_t overhead = 0;
    status = measureOverhead(kind, &overhead);
    CSYS_CHECK(CSYS_SUCCEEDED(status));
    if (CSYS_SUCCEEDED(status)) {
      csys_clock_table[kind].overhead.store(overhead, std::memory_order_relaxed);
    }
  }
  return status;
}

}  // namespace

csys_clockEntry csys_clock_table[CSYS_CLOCK_KINDS] = {
    {kDefaultReaders[0], 0, CSYS_CLOCK_OVERHEAD_UNKNOWN},
    {kDefaultReaders[1], 0, CSYS_CLOCK_OVERHEAD_UNKNOWN}};

csys_status csys_clock_initCalibration() {
  CSYS_RETURN_IF_FAILED(csys_initializeOnce(initRates, nullptr, &g_ratesOnce));
  return csys_initializeOnce(initOverheads, nullptr, &g_overheadsOnce);
}

csys_clock_tickReader csys_clock_replaceTickReader(int32_t kind, csys_clock_tickReader reader) {
  CSYS_CHECK(kind >= 0 && kind < CSYS_CLOCK_KINDS);
  if (kind < 0 || kind >= CSYS_CLOCK_KINDS) return nullptr;
  return csys_clock_table[kind].read.exchange(reader != nullptr ? reader : kDefaultReaders[kind],
                                              std::memory_order_relaxed);
}
