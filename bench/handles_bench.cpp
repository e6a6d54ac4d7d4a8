// Handle copy + destroy: cstd_ptrh and qzsfPtrHandle beside std::shared_ptr, alone and with both
// cores copying handles on one object.
#include <benchmark/benchmark.h>

#include <memory>
#include <thread>

#include "cstd_shared.h"
#include "qzsf_rep.h"

namespace {

// Each object sits on its own cache line and is held by a root handle for the whole run, so the
// loops never release it.
struct alignas(64) SharedObject {
  cstd_shared shared;
};
struct alignas(64) RepObject {
  qzsfRepBase rep;
};

struct Ptrh {
  static cstd_ptrh& root() {
    static SharedObject object;
    static cstd_ptrh handle = [] {
      cstd_ptrh made{};
      cstd_shared_init(&object.shared, &object);
      cstd_ptrh_construct(&made, &object.shared);
      return made;
    }();
    return handle;
  }
  static void copyAndDestroy(const cstd_ptrh& root) {
    cstd_ptrh copy;
    cstd_ptrh_constructCopy(&copy, &root);
    benchmark::DoNotOptimize(copy);
    cstd_ptrh_destruct(&copy);
  }
};

struct RepHandle {
  static qzsfPtrHandle& root() {
    static RepObject object;
    static qzsfPtrHandle handle = [] {
      qzsfPtrHandle made{};
      object.rep = {nullptr, 0, &object};
      qzsfPtrHandle_Construct(&made, &object.rep);
      return made;
    }();
    return handle;
  }
  static void copyAndDestroy(const qzsfPtrHandle& root) {
    qzsfPtrHandle copy;
    qzsfPtrHandle_ConstructCopy(&copy, &root);
    benchmark::DoNotOptimize(copy);
    qzsfPtrHandle_Destruct(&copy);
  }
};

struct SharedPtr {
  static std::shared_ptr<SharedObject>& root() {
    static std::shared_ptr<SharedObject> pointer = std::make_shared<SharedObject>();
    return pointer;
  }
  static void copyAndDestroy(const std::shared_ptr<SharedObject>& root) {
    std::shared_ptr<SharedObject> copy(root);
    benchmark::DoNotOptimize(copy);
  }
};

template <typename Impl>
void BM_CopyDestroy(benchmark::State& state) {
  // libstdc++ counts without interlocked operations until the process has started a thread;
  // the library serves threaded callers, so shared_ptr is measured on its threaded path.
  if (state.thread_index() == 0) std::thread([] {}).join();
  const auto& root = Impl::root();
  for (auto _ : state) Impl::copyAndDestroy(root);
}

BENCHMARK_TEMPLATE(BM_CopyDestroy, Ptrh)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CopyDestroy, RepHandle)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_CopyDestroy, SharedPtr)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace
