// Synchronization primitives beside their pthread and C++ peers: critical section and mutex
// lock + unlock, semaphore release + wait, event set + wait, and two threads on one lock.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <semaphore.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include "csys_resource.h"
#include "csys_sync.h"
#include "tracking_scope.h"

namespace {

// A second thread, blocked for the whole run: glibc takes shortcuts while a process has a single
// thread, and a real caller of these primitives never has one.
class IdleThread {
 public:
  IdleThread()
      : thread_([this] {
          std::unique_lock<std::mutex> lock(mutex_);
          wake_.wait(lock, [this] { return stop_; });
        }) {}
  ~IdleThread() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }
  IdleThread(const IdleThread&) = delete;
  IdleThread& operator=(const IdleThread&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;  // last: it uses the members above from its first instruction
};

const IdleThread g_idleThread;
const bool g_trackingStarted = startResourceTracking();

// A library object constructed for one run and destructed after it.
template <typename Object, csys_status (*kDestruct)(Object*)>
class Owned {
 public:
  template <typename Construct, typename... Args>
  explicit Owned(Construct construct, Args... args)
      : valid_(CSYS_SUCCEEDED(construct(&object_, args...))) {}
  ~Owned() {
    if (valid_) kDestruct(&object_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;

  bool valid() const { return valid_; }
  Object* get() { return &object_; }

 private:
  Object object_{};
  bool valid_;
};

// One round of a lock benchmark: lock, then unlock.
template <typename Lock>
struct LockRound {
  bool round() {
    Lock& lock = static_cast<Lock&>(*this);
    return lock.lock() && lock.unlock();
  }
};

class CriticalSection : public LockRound<CriticalSection> {
 public:
  bool valid() const { return cs_.valid(); }
  bool lock() {
    int32_t acquired = 0;
    return CSYS_SUCCEEDED(csys_criticalSection_wait(cs_.get(), &acquired)) && acquired == 1;
  }
  bool unlock() { return CSYS_SUCCEEDED(csys_criticalSection_release(cs_.get())); }
  const csys_resourceId& resourceId() { return cs_.get()->resourceId; }

 private:
  Owned<csys_criticalSection, csys_criticalSection_destruct> cs_{csys_criticalSection_construct};
};

class Mutex : public LockRound<Mutex> {
 public:
  bool valid() const { return mutex_.valid(); }
  bool lock() {
    int32_t acquired = 0;
    return CSYS_SUCCEEDED(csys_mutex_wait(mutex_.get(), &acquired)) && acquired == 1;
  }
  bool unlock() { return CSYS_SUCCEEDED(csys_mutex_unlock(mutex_.get())); }
  const csys_resourceId& resourceId() { return mutex_.get()->resourceId; }

 private:
  Owned<csys_mutex, csys_mutex_destruct> mutex_{csys_mutex_construct, 0, nullptr};
};

enum class PthreadKind { normal, recursive, robustRecursive };

template <PthreadKind kKind>
class PthreadMutex : public LockRound<PthreadMutex<kKind>> {
 public:
  PthreadMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(
        &attributes, kKind == PthreadKind::normal ? PTHREAD_MUTEX_NORMAL : PTHREAD_MUTEX_RECURSIVE);
    if (kKind == PthreadKind::robustRecursive) {
      pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    }
    valid_ = pthread_mutex_init(&mutex_, &attributes) == 0;
    pthread_mutexattr_destroy(&attributes);
  }
  ~PthreadMutex() {
    if (valid_) pthread_mutex_destroy(&mutex_);
  }
  PthreadMutex(const PthreadMutex&) = delete;
  PthreadMutex& operator=(const PthreadMutex&) = delete;

  bool valid() const { return valid_; }
  bool lock() { return pthread_mutex_lock(&mutex_) == 0; }
  bool unlock() { return pthread_mutex_unlock(&mutex_) == 0; }

 private:
  pthread_mutex_t mutex_{};
  bool valid_ = false;
};

constexpr int32_t kSemaphoreMaximum = 0x7FFFFFFF;

class Semaphore {
 public:
  bool valid() const { return semaphore_.valid(); }
  bool round() {
    int32_t acquired = 0;
    return CSYS_SUCCEEDED(csys_semaphore_release(semaphore_.get())) &&
           CSYS_SUCCEEDED(csys_semaphore_wait(semaphore_.get(), &acquired)) && acquired == 1;
  }

 private:
  Owned<csys_semaphore, csys_semaphore_destruct> semaphore_{csys_semaphore_construct, 0,
                                                            kSemaphoreMaximum};
};

class PosixSemaphore {
 public:
  PosixSemaphore() : valid_(sem_init(&semaphore_, 0, 0) == 0) {}
  ~PosixSemaphore() {
    if (valid_) sem_destroy(&semaphore_);
  }
  PosixSemaphore(const PosixSemaphore&) = delete;
  PosixSemaphore& operator=(const PosixSemaphore&) = delete;

  bool valid() const { return valid_; }
  bool round() { return sem_post(&semaphore_) == 0 && sem_wait(&semaphore_) == 0; }

 private:
  sem_t semaphore_{};
  bool valid_;
};

// An auto-reset event, unsignalled at first: the wait consumes what the set signalled.
class Event {
 public:
  bool valid() const { return event_.valid(); }
  bool round() {
    int32_t acquired = 0;
    return CSYS_SUCCEEDED(csys_event_set(event_.get())) &&
           CSYS_SUCCEEDED(csys_event_wait(event_.get(), &acquired)) && acquired == 1;
  }

 private:
  Owned<csys_event, csys_event_destruct> event_{csys_event_construct, 0, 0};
};

// The same handshake built from a flag, a std::mutex and a condition variable.
class ConditionHandshake {
 public:
  bool valid() const { return true; }
  bool round() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      signalled_ = true;
    }
    signal_.notify_one();
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait(lock, [this] { return signalled_; });
    signalled_ = false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable signal_;
  bool signalled_ = false;
};

// Confirms that leak tracking counts (or ignores) an acquisition of a library lock, as the run's
// name claims. Objects without tracked acquisitions pass.
template <typename Impl>
bool trackingAsClaimed(Impl& impl, Tracking tracking) {
  if constexpr (requires { impl.resourceId(); }) {
    if (!g_trackingStarted || !impl.lock()) return false;
    const bool asClaimed = holdTrackedAs(impl.resourceId(), tracking);
    return impl.unlock() && asClaimed;
  } else {
    return true;
  }
}

// Runs rounds. A run whose set-up failed (`ready` false) still enters the loop, so that the
// threads of a run meet at its barriers, but ends at once with an error.
template <typename Impl>
void runRounds(benchmark::State& state, Impl* impl, bool ready) {
  if (!ready) state.SkipWithError("construction failed or tracking not in the claimed state");
  for (auto _ : state) {
    if (!impl->round()) {
      state.SkipWithError("a round failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations());
}

template <typename Impl, Tracking kTracking = Tracking::on>
void BM_Round(benchmark::State& state) {
  const TrackingScope scope(kTracking);
  Impl impl;
  runRounds(state, &impl, impl.valid() && trackingAsClaimed(impl, kTracking));
}

// Two threads on one object, made by thread 0 and published to the other thread, which waits
// for it; destroyed by thread 0 once the run's stop barrier has passed. Only thread 0 checks the
// object: the check takes the lock, which must not race with the other thread.
template <typename Impl, Tracking kTracking = Tracking::on>
void BM_Contended(benchmark::State& state) {
  static std::atomic<Impl*> shared{nullptr};
  const TrackingScope scope(kTracking);
  bool ready = true;
  Impl* impl = nullptr;
  if (state.thread_index() == 0) {
    impl = new Impl;
    ready = impl->valid() && trackingAsClaimed(*impl, kTracking);
    shared.store(impl, std::memory_order_release);
  } else {
    while ((impl = shared.load(std::memory_order_acquire)) == nullptr) std::this_thread::yield();
  }
  runRounds(state, impl, ready);
  if (state.thread_index() == 0) delete shared.exchange(nullptr, std::memory_order_relaxed);
}

using RecursivePthreadMutex = PthreadMutex<PthreadKind::recursive>;
using NormalPthreadMutex = PthreadMutex<PthreadKind::normal>;
using RobustRecursivePthreadMutex = PthreadMutex<PthreadKind::robustRecursive>;

BENCHMARK_TEMPLATE(BM_Round, CriticalSection, Tracking::off)->Name("cs/library/tracking:off");
BENCHMARK_TEMPLATE(BM_Round, CriticalSection, Tracking::on)->Name("cs/library/tracking:on");
BENCHMARK_TEMPLATE(BM_Round, RecursivePthreadMutex)->Name("cs/peer:recursive_pthread_mutex");

BENCHMARK_TEMPLATE(BM_Round, Mutex, Tracking::off)->Name("mutex/library/tracking:off");
BENCHMARK_TEMPLATE(BM_Round, Mutex, Tracking::on)->Name("mutex/library/tracking:on");
BENCHMARK_TEMPLATE(BM_Round, NormalPthreadMutex)->Name("mutex/peer:pthread_mutex");
BENCHMARK_TEMPLATE(BM_Round, RobustRecursivePthreadMutex)
    ->Name("mutex/reference:robust_recursive_pthread_mutex");

BENCHMARK_TEMPLATE(BM_Round, Semaphore)->Name("semaphore/library");
BENCHMARK_TEMPLATE(BM_Round, PosixSemaphore)->Name("semaphore/peer:sem_post_sem_wait");

BENCHMARK_TEMPLATE(BM_Round, Event)->Name("event/library");
BENCHMARK_TEMPLATE(BM_Round, ConditionHandshake)->Name("event/peer:condition_variable");

BENCHMARK_TEMPLATE(BM_Contended, CriticalSection, Tracking::off)
    ->Name("cs_contended/library/tracking:off")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Contended, CriticalSection, Tracking::on)
    ->Name("cs_contended/library/tracking:on")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Contended, RecursivePthreadMutex)
    ->Name("cs_contended/peer:recursive_pthread_mutex")
    ->Threads(2)
    ->UseRealTime();

// Two threads, each on an object of its own: what they pay for sharing the process (the leak
// tracker among them), not for sharing a lock.
BENCHMARK_TEMPLATE(BM_Round, CriticalSection, Tracking::on)
    ->Name("cs_separate/library/tracking:on")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Round, Mutex, Tracking::on)
    ->Name("mutex_separate/library/tracking:on")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_TEMPLATE(BM_Round, NormalPthreadMutex)
    ->Name("separate/peer:pthread_mutex")
    ->Threads(2)
    ->UseRealTime();

}  // namespace
