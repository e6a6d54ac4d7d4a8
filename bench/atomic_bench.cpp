// Atomic increment beside std::atomic, alone and with both cores hammering one counter.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>

#include "csys_atomic.h"

namespace {

// Each counter sits on its own cache line, apart from anything else the process writes.
struct Library {
  alignas(64) static inline int32_t counter = 0;

  static void reset() { counter = 0; }
  static int32_t increment() {
    int32_t value = 0;
    csys_atomicIncrement(&counter, &value);
    return value;
  }
};

struct StdAtomic {
  alignas(64) static inline std::atomic<int32_t> counter{0};

  static void reset() { counter.store(0); }
  static int32_t increment() { return counter.fetch_add(1); }
};

template <typename Impl>
void BM_Increment(benchmark::State& state) {
  // Every run starts from zero so that repeated runs never reach the int32_t limit. Threads
  // wait for each other before the timed loop, so this store precedes all increments.
  if (state.thread_index() == 0) Impl::reset();
  for (auto _ : state) benchmark::DoNotOptimize(Impl::increment());
}

BENCHMARK_TEMPLATE(BM_Increment, Library)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Increment, StdAtomic)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
