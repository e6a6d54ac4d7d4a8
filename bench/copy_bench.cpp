// Block copy beside memcpy, from one cache line to far beyond the last-level cache. The library
// streams every copy on SSE2 processors; these figures show what that costs at each size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "csys_memory.h"

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr size_t kAreaBytes = 64 * kMiB;

// Source and destination for every run, 64-byte aligned and touched once so that no page fault
// is timed.
unsigned char* area(int which) {
  static unsigned char* areas[2] = {};
  if (areas[which] == nullptr) {
    areas[which] = static_cast<unsigned char*>(std::aligned_alloc(64, kAreaBytes));
    if (areas[which] != nullptr) std::memset(areas[which], which + 1, kAreaBytes);
  }
  return areas[which];
}

struct Library {
  static bool copy(void* destination, const void* source, size_t size) {
    return CSYS_SUCCEEDED(csys_memory_copy(static_cast<intptr_t>(size), source, destination));
  }
};

struct CRuntime {
  static bool copy(void* destination, const void* source, size_t size) {
    std::memcpy(destination, source, size);
    return true;
  }
};

template <typename Impl>
void BM_Copy(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  unsigned char* destination = area(0);
  const void* source = area(1);
  if (destination == nullptr || source == nullptr) {
    state.SkipWithError("no memory");
    return;
  }
  // Off the 32-byte boundary a short copy is all head and tail: no block, no fence.
  destination += state.range(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(destination);
    if (!Impl::copy(destination, source, size)) {
      state.SkipWithError("copy failed");
      break;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// {size, destination offset}
#define COPY_SIZES            \
  Args({64, 0})               \
      ->Args({64, 5})         \
      ->Args({4 * kKiB, 0})   \
      ->Args({256 * kKiB, 0}) \
      ->Args({8 * kMiB, 0})   \
      ->Args({64 * kMiB, 0})
BENCHMARK_TEMPLATE(BM_Copy, Library)->COPY_SIZES;
BENCHMARK_TEMPLATE(BM_Copy, CRuntime)->COPY_SIZES;

}  // namespace
