// The API mutex beside a pthread mutex: uncontended lock + unlock, and the hand-over to a waiter
// of higher priority (time from the owner's unlock to the waiter running with the lock) beside
// a priority-inheriting pthread mutex.
#include <benchmark/benchmark.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "csys_apiMutex.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ApiLock {
  csys_apiMutex am{};
  ApiLock() { csys_apiMutex_construct(&am, 0, 0); }
  ~ApiLock() { csys_apiMutex_destruct(&am); }
  void lock() { csys_apiMutex_wait(&am, 0); }
  void unlock() { csys_apiMutex_unlock(&am); }
  // The waiter raises itself above the owner, as a caller of higher priority would be.
  static void raiseWaiter() { csys_thread_setCurrentPriority(6); }
};

struct PthreadLock {
  pthread_mutex_t m{};
  PthreadLock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
  }
  ~PthreadLock() { pthread_mutex_destroy(&m); }
  void lock() { pthread_mutex_lock(&m); }
  void unlock() { pthread_mutex_unlock(&m); }
  static void raiseWaiter() {}
};

template <typename Lock>
void BM_uncontended(benchmark::State& state) {
  Lock lock;
  for (auto _ : state) {
    lock.lock();
    lock.unlock();
  }
}
BENCHMARK_TEMPLATE(BM_uncontended, ApiLock);
BENCHMARK_TEMPLATE(BM_uncontended, PthreadLock);

// Each round: the owner holds the lock, the waiter announces itself and blocks, the owner gives
// the lock up after a pause that lets the waiter reach its sleep.
template <typename Lock>
void BM_handOver(benchmark::State& state) {
  Lock lock;
  std::atomic<int> round{0};
  std::atomic<int> waiting{0};
  std::atomic<bool> stop{false};
  std::atomic<int64_t> acquiredAt{0};
  std::thread waiter([&] {
    Lock::raiseWaiter();
    for (int r = 1;; ++r) {
      while (round.load() < r && !stop.load()) std::this_thread::yield();
      if (stop.load()) return;
      waiting.store(r);
      lock.lock();
      acquiredAt.store(Clock::now().time_since_epoch().count());
      lock.unlock();
    }
  });
  int r = 0;
  for (auto _ : state) {
    lock.lock();
    round.store(++r);
    while (waiting.load() < r) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    acquiredAt.store(0);
    const int64_t released = Clock::now().time_since_epoch().count();
    lock.unlock();
    while (acquiredAt.load() == 0) std::this_thread::yield();
    state.SetIterationTime(static_cast<double>(acquiredAt.load() - released) * 1e-9);
  }
  stop.store(true);
  waiter.join();
}
BENCHMARK_TEMPLATE(BM_handOver, ApiLock)->UseManualTime();
BENCHMARK_TEMPLATE(BM_handOver, PthreadLock)->UseManualTime();

}  // namespace
