// Memory primitives beside their C runtime peers: allocate-and-free, and block fill.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "csys_memory.h"

namespace {

constexpr int64_t kKiB = 1024;
constexpr int64_t kMiB = 1024 * kKiB;
constexpr uint8_t kFillValue = 0x5a;

// Allocation through the caller's pointer variable, then its release, by a pair of functions
// with the library's shape (a failure has the top bit set).
template <csys_status (*Alloc)(intptr_t, void**), csys_status (*Free)(void**)>
struct ThroughVariable {
  static bool allocFree(size_t size) {
    void* block = nullptr;
    const csys_status allocated = Alloc(static_cast<intptr_t>(size), &block);
    benchmark::DoNotOptimize(block);
    // Freeing a variable that a failed allocation left null is nothing to do.
    const csys_status freed = Free(&block);
    return CSYS_SUCCEEDED(allocated) & CSYS_SUCCEEDED(freed);
  }
};

struct Library : ThroughVariable<csys_memory_alloc_internal, csys_memory_free_internal> {
  static bool fill(void* dest, size_t size) {
    return CSYS_SUCCEEDED(csys_memory_fill(kFillValue, static_cast<intptr_t>(size), dest));
  }
};

// The C runtime. The block escapes through DoNotOptimize, so the compiler can neither pair the
// malloc with the free and drop both nor assume anything about the pointer it frees.
struct CRuntime {
  static bool allocFree(size_t size) {
    void* block = std::malloc(size);
    benchmark::DoNotOptimize(block);
    std::free(block);
    return block != nullptr;
  }

  static bool fill(void* dest, size_t size) {
    std::memset(dest, kFillValue, size);
    return true;
  }
};

// The C runtime plus one shared atomic count per request: the floor of any design that counts
// every request in a single atomic, as the library does for its out-of-memory threshold.
struct CRuntimeCounted {
  static inline std::atomic<uint32_t> count{0};

  static bool allocFree(size_t size) {
    count.fetch_add(1, std::memory_order_relaxed);
    return CRuntime::allocFree(size);
  }
};

// The same interface with nothing but the heap behind it (bench/alloc_floor.c), with and without
// one shared atomic count: what any design of the library's allocation must cost at least.
extern "C" int32_t floor_alloc(intptr_t size, void** dest);
extern "C" int32_t floor_allocCounted(intptr_t size, void** dest);
extern "C" int32_t floor_free(void** dest);

using InterfaceFloor = ThroughVariable<floor_alloc, floor_free>;
using InterfaceFloorCounted = ThroughVariable<floor_allocCounted, floor_free>;

template <typename Impl>
void BM_AllocFree(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  bool allocated = true;  // judged at the end, as in BM_Fill
  for (auto _ : state) allocated &= Impl::allocFree(size);
  if (!allocated) state.SkipWithError("allocation failed");
}

// One fill area for the whole process, written once so that no page fault is timed. Kept alive:
// freeing an 8 MiB block would make the C runtime retune its heap between runs and disturb the
// allocation benchmarks that run after it.
unsigned char* fillArea() {
  static std::vector<unsigned char> area(8 * kMiB);
  return area.data();
}

template <typename Impl>
void BM_Fill(benchmark::State& state) {
  const auto size = static_cast<size_t>(state.range(0));
  void* dest = fillArea();
  // Every status is looked at, but the verdict waits for the end of the run: a branch out of
  // the loop would change the loop's code layout, not what the fill costs.
  bool filled = true;
  for (auto _ : state) {
    // The destination is opaque to the compiler and every store counts as observed.
    benchmark::DoNotOptimize(dest);
    filled &= Impl::fill(dest, size);
    benchmark::ClobberMemory();
  }
  if (!filled) state.SkipWithError("fill failed");
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK_TEMPLATE(BM_AllocFree, Library)->Arg(64)->Arg(4 * kKiB);
BENCHMARK_TEMPLATE(BM_AllocFree, CRuntime)->Arg(64)->Arg(4 * kKiB);
BENCHMARK_TEMPLATE(BM_AllocFree, CRuntimeCounted)->Arg(64)->Arg(4 * kKiB);
BENCHMARK_TEMPLATE(BM_AllocFree, InterfaceFloor)->Arg(64)->Arg(4 * kKiB);
BENCHMARK_TEMPLATE(BM_AllocFree, InterfaceFloorCounted)->Arg(64)->Arg(4 * kKiB);
BENCHMARK_TEMPLATE(BM_Fill, Library)->Arg(64)->Arg(4 * kKiB)->Arg(8 * kMiB);
BENCHMARK_TEMPLATE(BM_Fill, CRuntime)->Arg(64)->Arg(4 * kKiB)->Arg(8 * kMiB);

}  // namespace
