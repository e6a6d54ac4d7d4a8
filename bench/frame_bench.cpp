// The cost of a cleanup frame: one operation written with a two-entry frame, as the library's own
// operations are, beside the same work written by hand. Linked against the static library, since
// the frame is internal; both sides call the library the same way.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "cleanup/cleanup_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_sync.h"
#include "tracking_scope.h"

namespace {

constexpr intptr_t kBlockSize = 64;

// Allocates a block (given back if anything later fails), takes the critical section (left on
// every exit), uses the block and frees it.
csys_status withFrame(csys_criticalSection* cs) {
  void* block = nullptr;
  CleanupFrame<2> frame;
  if (frame.call(csys_memory_alloc_internal(kBlockSize, &block))) {
    frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE, &block,
              csys_memory_free_internal);
    int32_t acquired = 0;
    if (frame.call(csys_criticalSection_wait(cs, &acquired))) {
      frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, cs, csys_criticalSection_release);
      benchmark::DoNotOptimize(block);
      frame.call(csys_memory_free_internal(&block));
    }
  }
  return frame.close();
}

// The same work and the same failure handling, by hand.
csys_status withoutFrame(csys_criticalSection* cs) {
  void* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_alloc_internal(kBlockSize, &block));
  int32_t acquired = 0;
  const csys_status waited = csys_criticalSection_wait(cs, &acquired);
  if (CSYS_FAILED(waited)) {
    csys_memory_free_internal(&block);
    return waited;
  }
  benchmark::DoNotOptimize(block);
  const csys_status freed = csys_memory_free_internal(&block);
  const csys_status released = csys_criticalSection_release(cs);
  return CSYS_FAILED(freed) ? freed : released;
}

class CriticalSection {
 public:
  CriticalSection() : valid_(CSYS_SUCCEEDED(csys_criticalSection_construct(&cs_))) {}
  ~CriticalSection() {
    if (valid_) csys_criticalSection_destruct(&cs_);
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  csys_criticalSection* get() { return &cs_; }

  // Holds the section once and asks resource tracking whether it saw that.
  bool trackedAs(Tracking tracking) {
    int32_t acquired = 0;
    if (!valid_ || CSYS_FAILED(csys_criticalSection_wait(&cs_, &acquired))) return false;
    const bool asClaimed = holdTrackedAs(cs_.resourceId, tracking);
    return CSYS_SUCCEEDED(csys_criticalSection_release(&cs_)) && asClaimed;
  }

 private:
  csys_criticalSection cs_{};
  bool valid_;
};

int32_t cleanupLeaks() {
  int32_t leaks = -1;
  int32_t valid = 0;
  if (CSYS_FAILED(csys_cleanupReportLeaks(0, &leaks, &valid)) || valid == 0) return -1;
  return leaks;
}

// Tags drawn and never logged stay behind as gaps, and each later logged tag walks past them; a
// run with tracking off would slow every tracked run after it. The run's own tags, from `first`
// to `last`, are therefore logged once it ends (tracking on again): those of its frames when
// tracking was off, otherwise only the two markers. Returns whether no gap is left.
bool settleTags(int32_t first, int32_t last, Tracking cleanup) {
  const int32_t step = cleanup == Tracking::on && last > first ? last - first : 1;
  bool logged = true;
  for (int64_t tag = first; tag <= last; tag += step) {
    logged = CSYS_SUCCEEDED(csys_cleanup_logExecute(static_cast<int32_t>(tag))) && logged;
  }
  return logged && cleanupLeaks() == 0;
}

using Operation = csys_status (*)(csys_criticalSection*);

// Runs the operation in the given tracking state, between two marker tags drawn with tracking on.
// Between them, every frame's tag must have been logged with cleanup tracking on, and none with
// it off (whether or not frames draw tags while tracking is off).
template <Operation kOperation, Tracking kResource, Tracking kCleanup = Tracking::on>
void BM_Operation(benchmark::State& state) {
  if (!startResourceTracking() || cleanupLeaks() != 0) {
    state.SkipWithError("tracking did not start, or an earlier run left gaps");
    return;
  }
  CriticalSection cs;
  const int32_t first = csys_cleanup_getNextTag();
  {
    const TrackingScope scope(kResource, kCleanup);
    if (!cs.trackedAs(kResource)) {
      state.SkipWithError("resource tracking not in the claimed state");
    }
    for (auto _ : state) {
      if (CSYS_FAILED(kOperation(cs.get()))) {
        state.SkipWithError("the operation failed");
        break;
      }
    }
  }
  const int32_t last = csys_cleanup_getNextTag();
  const int32_t unlogged = kCleanup == Tracking::on ? 2 : last - first + 1;
  const bool asClaimed = cleanupLeaks() == unlogged;
  if (!settleTags(first, last, kCleanup) || !asClaimed) {
    state.SkipWithError("cleanup tracking not in the claimed state");
  }
}

BENCHMARK_TEMPLATE(BM_Operation, withoutFrame, Tracking::off)
    ->Name("frame/none/resource_tracking:off");
BENCHMARK_TEMPLATE(BM_Operation, withFrame, Tracking::off, Tracking::off)
    ->Name("frame/cleanup_tracking:off/resource_tracking:off");
BENCHMARK_TEMPLATE(BM_Operation, withFrame, Tracking::off, Tracking::on)
    ->Name("frame/cleanup_tracking:on/resource_tracking:off");
BENCHMARK_TEMPLATE(BM_Operation, withoutFrame, Tracking::on)
    ->Name("frame/none/resource_tracking:on");
BENCHMARK_TEMPLATE(BM_Operation, withFrame, Tracking::on, Tracking::off)
    ->Name("frame/cleanup_tracking:off/resource_tracking:on");
BENCHMARK_TEMPLATE(BM_Operation, withFrame, Tracking::on, Tracking::on)
    ->Name("frame/cleanup_tracking:on/resource_tracking:on");

}  // namespace
