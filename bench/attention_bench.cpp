// The attention check beside its peers: with an empty list (a stop token, a slot read with two
// loads), with one pending time-out (one read of the same clock), attach + detach of a time-out
// (a mutex lock + unlock), and checking threads while a controller attaches and detaches.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <thread>
#include <vector>

#include "csys_attention.h"
#include "csys_resource.h"

namespace {

void BM_CheckEmpty_Library(benchmark::State& state) {
  csys_attention_check();  // the thread's record is made on first use
  for (auto _ : state) benchmark::DoNotOptimize(csys_attention_check());
}
BENCHMARK(BM_CheckEmpty_Library);

void BM_CheckEmpty_StopToken(benchmark::State& state) {
  std::stop_source source;
  const std::stop_token token = source.get_token();
  for (auto _ : state) benchmark::DoNotOptimize(token.stop_requested());
}
BENCHMARK(BM_CheckEmpty_StopToken);

// What the library's empty check amounts to at best: the thread's block from its slot, then the
// record and its list header.
struct Record {
  void* list;
};
struct Block {
  Record* record;
};

void BM_CheckEmpty_SlotAndTwoLoads(benchmark::State& state) {
  pthread_key_t key;
  pthread_key_create(&key, nullptr);
  Record record{nullptr};
  Block block{&record};
  pthread_setspecific(key, &block);
  for (auto _ : state) {
    auto* found = static_cast<Block*>(pthread_getspecific(key));
    benchmark::DoNotOptimize(
        std::atomic_ref<void*>(found->record->list).load(std::memory_order_relaxed));
  }
  pthread_key_delete(key);
}
BENCHMARK(BM_CheckEmpty_SlotAndTwoLoads);

// Tracking of the record's lock is switched per run: on is the library's default.
void BM_CheckPendingTimeout_Library(benchmark::State& state) {
  csys_resourceSetLeakTrackingEnabled(static_cast<int32_t>(state.range(0)));
  csys_attentionTag tag;
  csys_attentionTag_construct(&tag);
  csys_attentionTag_attachTimeout(&tag, nullptr, 1e6);
  for (auto _ : state) benchmark::DoNotOptimize(csys_attention_check());
  csys_attentionTag_detach(&tag);
  csys_attentionTag_destruct(&tag);
  csys_resourceSetLeakTrackingEnabled(1);
}
BENCHMARK(BM_CheckPendingTimeout_Library)->ArgName("tracking")->Arg(0)->Arg(1);

void BM_CheckPendingTimeout_ClockRead(benchmark::State& state) {
  timespec now{};
  for (auto _ : state) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BM_CheckPendingTimeout_ClockRead);

void BM_AttachDetachTimeout_Library(benchmark::State& state) {
  csys_resourceSetLeakTrackingEnabled(static_cast<int32_t>(state.range(0)));
  csys_attentionTag tag;
  csys_attentionTag_construct(&tag);
  for (auto _ : state) {
    csys_attentionTag_attachTimeout(&tag, nullptr, 60.0);
    csys_attentionTag_detach(&tag);
  }
  csys_attentionTag_destruct(&tag);
  csys_resourceSetLeakTrackingEnabled(1);
}
BENCHMARK(BM_AttachDetachTimeout_Library)->ArgName("tracking")->Arg(0)->Arg(1);

void BM_AttachDetachTimeout_MutexPair(benchmark::State& state) {
  std::mutex mutex;
  for (auto _ : state) {
    mutex.lock();
    mutex.unlock();
  }
}
BENCHMARK(BM_AttachDetachTimeout_MutexPair);

// Checkers run until stopped while the benchmark's thread, the controller, attaches a time-out
// to one of them and detaches it again. Checkers are not the library's threads: they end their
// per-thread state themselves.
void BM_CheckersWithController(benchmark::State& state) {
  const auto checkers = static_cast<size_t>(state.range(0));
  std::vector<csys_thread> handles(checkers);
  std::atomic<size_t> ready{0};
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> checks{0};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < checkers; ++i) {
    threads.emplace_back([&, i] {
      csys_thread_construct(&handles[i]);
      csys_thread_getCurrentThread(&handles[i]);
      ++ready;
      uint64_t own = 0;
      for (; !stop.load(std::memory_order_relaxed); ++own) csys_attention_check();
      checks += own;
      csys_thread_cleanup();
    });
  }
  while (ready < checkers) std::this_thread::yield();
  csys_attentionTag tag;
  csys_attentionTag_construct(&tag);
  size_t next = 0;
  for (auto _ : state) {
    csys_attentionTag_attachTimeout(&tag, &handles[next++ % checkers], 60.0);
    csys_attentionTag_detach(&tag);
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
  csys_attentionTag_destruct(&tag);
  for (csys_thread& handle : handles) csys_thread_destruct(&handle);
  state.counters["checks"] =
      benchmark::Counter(static_cast<double>(checks.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CheckersWithController)->ArgName("checkers")->Arg(1)->Arg(3)->UseRealTime();

}  // namespace
