// Timer start + stop on each clock beside two raw reads of the same clock, and what the
// once-per-process calibration costs the first timer.
#include <benchmark/benchmark.h>
#include <time.h>
#include <x86intrin.h>

#include <chrono>

#include "csys_timer.h"

namespace {

// Runs first, in a process that has not calibrated yet: the first init pays for the rate
// determination and the overhead measurement.
void BM_FirstInitCalibrates(benchmark::State& state) {
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    csys_timer timer;
    csys_timer_init(&timer, 0);
    const auto end = std::chrono::steady_clock::now();
    state.counters["calibration_ms"] =
        std::chrono::duration<double, std::milli>(end - begin).count();
  }
}
BENCHMARK(BM_FirstInitCalibrates)->Iterations(1);

template <int32_t (*Init)(csys_timer*, int32_t)>
void BM_TimerStartStop(benchmark::State& state) {
  csys_timer timer;
  Init(&timer, 0);
  for (auto _ : state) {
    csys_timer_start(&timer);
    csys_timer_stop(&timer);
    benchmark::DoNotOptimize(timer);
  }
}
BENCHMARK(BM_TimerStartStop<csys_timer_init>)->Name("BM_TimerStartStop/system");
BENCHMARK(BM_TimerStartStop<csys_timer_initScaledProcessorCycles>)
    ->Name("BM_TimerStartStop/cycles");

void BM_TwoClockGettime(benchmark::State& state) {
  timespec a{}, b{};
  for (auto _ : state) {
    clock_gettime(CLOCK_MONOTONIC, &a);
    clock_gettime(CLOCK_MONOTONIC, &b);
    benchmark::DoNotOptimize(a);
    benchmark::DoNotOptimize(b);
  }
}
BENCHMARK(BM_TwoClockGettime);

void BM_TwoRdtsc(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(__rdtsc());
    benchmark::DoNotOptimize(__rdtsc());
  }
}
BENCHMARK(BM_TwoRdtsc);

}  // namespace
