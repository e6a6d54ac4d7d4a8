// Once-initialization on its fast path, beside std::call_once: the flag is already done, so each
// call only has to find that out.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <mutex>

#include "csys_sync.h"

namespace {

// Counts the runs of an init function: a done flag must never run it again.
struct InitCount {
  int32_t runs = 0;
  void run() { ++runs; }
};

csys_status countRun(void* context) {
  static_cast<InitCount*>(context)->run();
  return CSYS_OK;
}

class Library {
 public:
  bool once() { return CSYS_SUCCEEDED(csys_initializeOnce(countRun, &count_, &flag_)); }
  int32_t runs() const { return count_.runs; }

 private:
  InitCount count_;
  int32_t flag_ = 0;
};

class CallOnce {
 public:
  bool once() {
    std::call_once(flag_, [this] { count_.run(); });
    return true;
  }
  int32_t runs() const { return count_.runs; }

 private:
  InitCount count_;
  std::once_flag flag_;
};

template <typename Impl>
void BM_OnceDone(benchmark::State& state) {
  Impl impl;
  if (!impl.once() || impl.runs() != 1) {
    state.SkipWithError("the first call did not initialize");
    return;
  }
  for (auto _ : state) {
    if (!impl.once()) {
      state.SkipWithError("once failed");
      break;
    }
  }
  if (impl.runs() != 1) state.SkipWithError("a done flag ran its init again");
}

BENCHMARK_TEMPLATE(BM_OnceDone, Library)->Name("once_done/library");
BENCHMARK_TEMPLATE(BM_OnceDone, CallOnce)->Name("once_done/peer:std_call_once");

}  // namespace
