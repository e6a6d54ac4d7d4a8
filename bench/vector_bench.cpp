// Appending 4-byte elements one at a time from empty, beside std::vector::push_back.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "cstd_vector.h"

namespace {

void BM_PushBack_Library(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    cstd_vector_ v;
    cstd_vector__construct(&v, 0, sizeof(int32_t));
    for (int32_t i = 0; i < n; ++i) cstd_vector__pushBack(&v, &i);
    benchmark::DoNotOptimize(v.begin);
    cstd_vector__destruct(&v);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void BM_PushBack_StdVector(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  for (auto _ : state) {
    std::vector<int32_t> v;
    for (int32_t i = 0; i < n; ++i) v.push_back(i);
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_PushBack_Library)->Arg(16)->Arg(1 << 12);
BENCHMARK(BM_PushBack_StdVector)->Arg(16)->Arg(1 << 12);

}  // namespace
