// Helpers of the attention tests: tags and thread handles that destruct themselves, the system
// clock under a test's control, and a list's entry ids.
#pragma once

#include <gtest/gtest.h>

#include "attention/attention_internal.h"
#include "timing/clock_internal.h"

namespace pmtsys_test {

struct Tag {
  csys_attentionTag tag;
  Tag() { csys_attentionTag_construct(&tag); }
  ~Tag() { csys_attentionTag_destruct(&tag); }
};

// A library thread running a closure, the calling thread, or the record of a thread never
// started (only attach, detach, clones and proxies reach its list).
struct Thread {
  csys_thread thread{};
  std::function<void()> body;
  ~Thread() { csys_thread_destruct(&thread); }
  void start(std::function<void()> run) {
    body = std::move(run);
    auto main = [](void* f) -> uint32_t {
      (*static_cast<std::function<void()>*>(f))();
      return 0;
    };
    ASSERT_EQ(csys_thread_create(main, &body, nullptr, &thread), CSYS_OK);
  }
  void join() { ASSERT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK); }
  void current() { ASSERT_EQ(csys_thread_getCurrentThread(&thread), CSYS_OK); }
  void unstarted() { ASSERT_EQ(csys_thread_createRecord(&thread, 0), CSYS_OK); }
};

// While it lives, the system clock moves only when told (calibrated on the real clock first).
struct FakeClock {
  static inline std::atomic<uint64_t> ticks{uint64_t{1} << 40};
  csys_timer timer;
  csys_status calibrated = csys_timer_init(&timer, 0);
  double perSecond = double(csys_clock_ticksPerSecond(CSYS_CLOCK_SYSTEM_TICKS));
  FakeClock() {
    csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, [](csys_timerTicks* t) {
      *t = csys_timerTicks_fromU64(ticks.load());
    });
  }
  ~FakeClock() { csys_clock_replaceTickReader(CSYS_CLOCK_SYSTEM_TICKS, nullptr); }
  void advance(double seconds) { ticks += static_cast<uint64_t>(seconds * perSecond); }
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
