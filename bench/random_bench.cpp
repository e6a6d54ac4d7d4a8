// cmath_rand beside a thread_local generator doing the same arithmetic inline.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "cmath_rand.h"

namespace {

thread_local uint32_t t_state = 1;

int32_t localRand() {
  t_state = t_state * 214013u + 2531011u;
  return static_cast<int32_t>((t_state >> 16) & 0x7FFFu);
}

void BM_cmath_rand(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(cmath_rand());
}
BENCHMARK(BM_cmath_rand);

void BM_thread_local_lcg(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(localRand());
}
BENCHMARK(BM_thread_local_lcg);

}  // namespace
