// Helpers of the attention tests: tags that destruct themselves, library threads running a
// closure, records of threads never started, and a look at a list's entry ids.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "attention/attention_internal.h"
#include "timing/clock_internal.h"

namespace pmtsys_test {

struct Tag {
  csys_attentionTag tag;
  Tag() { EXPECT_EQ(csys_attentionTag_construct(&tag), CSYS_OK); }
  ~Tag() { csys_attentionTag_destruct(&tag); }
};

struct Thread {
  csys_thread thread;
  std::function<void()> body;
  Thread() { csys_thread_construct(&thread); }
  ~Thread() { csys_thread_destruct(&thread); }
  // Starts `run` in a thread of the library's own.
  void start(std::function<void()> run) {
    body = std::move(run);
    auto main = [](void* closure) -> uint32_t {
      (*static_cast<std::function<void()>*>(closure))();
      return 0;
    };
    ASSERT_EQ(csys_thread_create(main, &body, nullptr, &thread), CSYS_OK);
  }
  void join() { ASSERT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK); }
  void run(std::function<void()> run) {
    start(std::move(run));
    join();
  }
  // A record of a thread that never starts: only attach, detach, clones and proxies reach it.
  void makeUnstarted() { ASSERT_EQ(csys_thread_createRecord(&thread, 0), CSYS_OK); }
};

// The system clock under the test's control, from the time it is made until it goes.
class FakeClock {
 public:
  FakeClock() {
    csys_timer timer;
    csys_timer_init(&timer, 0);  // calibrated on the real clock first
    perSecond_ = static_cast<double>(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
    ticks_ = uint64_t{1} << 40;
    csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, [](csys_timerTicks* t) {
      *t = csys_timerTicks_fromU64(ticks_.load());
    });
  }
  ~FakeClock() { csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, nullptr); }
  void advance(double seconds) { ticks_ += static_cast<uint64_t>(seconds * perSecond_); }

 private:
  static inline std::atomic<uint64_t> ticks_{0};
  double perSecond_ = 0.0;
};

// The entry ids of a thread's list (null: the calling thread), front to back.
inline std::vector<uint32_t> ids(csys_thread* thread) {
  csys_threadRecord* record = nullptr;
  std::vector<uint32_t> out;
  EXPECT_EQ(csys_attention_findRecord(thread, &record), CSYS_OK);
  for (auto* e = record->attention->next; e != nullptr; e = e->next) out.push_back(e->id);
  return out;
}

}  // namespace pmtsys_test
