// Threads beside their peers: a keyed per-thread value beside pthread_getspecific and
// thread_local, thread creation and the wait for its end beside std::thread and join, and a
// handle on the current thread beside pthread_self.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <cstdint>
#include <thread>

#include "csys_thread.h"

namespace {

uint32_t libraryKey() {
  static uint32_t key = 0xFFFFFFFFu;
  static int32_t flag = 0;
  csys_threadLocal_alloc(&key, &flag);
  return key;
}

void BM_threadLocal_getValue(benchmark::State& state) {
  const uint32_t key = libraryKey();
  csys_threadLocal_setValueObj(key, 42, nullptr);
  uintptr_t value = 0;
  for (auto _ : state) {
    csys_threadLocal_getValue(key, &value);
    benchmark::DoNotOptimize(value);
  }
  if (value != 42) state.SkipWithError("wrong value");
}
BENCHMARK(BM_threadLocal_getValue);

void BM_pthread_getspecific(benchmark::State& state) {
  static pthread_key_t key;
  static const int created = pthread_key_create(&key, nullptr);
  benchmark::DoNotOptimize(created);
  int stored = 42;
  pthread_setspecific(key, &stored);
  for (auto _ : state) benchmark::DoNotOptimize(pthread_getspecific(key));
}
BENCHMARK(BM_pthread_getspecific);

thread_local uintptr_t t_value = 42;

void BM_thread_local(benchmark::State& state) {
  for (auto _ : state) {
    uintptr_t* value = &t_value;
    benchmark::DoNotOptimize(value);
    benchmark::DoNotOptimize(*value);
  }
}
BENCHMARK(BM_thread_local);

uint32_t nothing(void* /*argument*/) {
  return 0;
}

void BM_thread_createAndWait(benchmark::State& state) {
  for (auto _ : state) {
    csys_thread thread;
    csys_thread_construct(&thread);
    if (csys_thread_create(nothing, nullptr, nullptr, &thread) != CSYS_OK) {
      state.SkipWithError("create failed");
      break;
    }
    csys_thread_waitForTermination(&thread);
    csys_thread_destruct(&thread);
  }
}
BENCHMARK(BM_thread_createAndWait)->UseRealTime();

void BM_stdThread_join(benchmark::State& state) {
  for (auto _ : state) {
    std::thread thread([] {});
    thread.join();
  }
}
BENCHMARK(BM_stdThread_join)->UseRealTime();

void BM_thread_constructCurrent(benchmark::State& state) {
  for (auto _ : state) {
    csys_thread thread;
    csys_thread_constructCurrent(&thread);
    benchmark::DoNotOptimize(thread.handle.rep);
    csys_thread_destruct(&thread);
  }
}
BENCHMARK(BM_thread_constructCurrent);

void BM_pthread_self(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(pthread_self());
}
BENCHMARK(BM_pthread_self);

}  // namespace
