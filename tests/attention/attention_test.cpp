// Attention: tag kinds on a clock under the test's control, entry ids and their order, a time-out
// through a worker's frames, clones and proxies across threads, races with one defined outcome.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <functional>
#include <thread>

#include "attention/attention_internal.h"
#include "cleanup/cleanup_internal.h"
#include "csys_memory.h"
#include "support/objects.h"
#include "timing/clock_internal.h"

namespace {

struct Tag {
  csys_attentionTag tag;
  Tag() { csys_attentionTag_construct(&tag); }
  ~Tag() { csys_attentionTag_destruct(&tag); }
};

// An unstarted thread's list is reached only by attach, detach, clones and proxies.
enum Kind { kStarted, kCurrent, kUnstarted };
struct Thread {
  csys_thread thread{};
  std::function<void()> body;
  explicit Thread(Kind kind = kStarted) {
    EXPECT_EQ(kind == kStarted   ? CSYS_OK
              : kind == kCurrent ? csys_thread_getCurrentThread(&thread)
                                 : csys_thread_createRecord(&thread, 0),
              CSYS_OK);
  }
  ~Thread() { csys_thread_destruct(&thread); }
  void start(std::function<void()> run) {
    body = std::move(run);
    const csys_threadFunc main = [](void* f) { return (*static_cast<decltype(body)*>(f))(), 0u; };
    ASSERT_EQ(csys_thread_create(main, &body, nullptr, &thread), CSYS_OK);
  }
  void join() { ASSERT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK); }
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

inline std::vector<uint32_t> ids(csys_thread* thread) {
  csys_threadRecord* record = nullptr;
  std::vector<uint32_t> out;
  EXPECT_EQ(csys_attention_findRecord(thread, &record), CSYS_OK);
  for (auto* e = record->attention->next; e != nullptr; e = e->next) out.push_back(e->id);
  return out;
}

constexpr csys_status kCustom = CSYS_STATUS(0x80001234u);

#define ATTACH(call) [](csys_attentionTag* t) { return csys_attentionTag_##call; }

TEST(AttentionKinds, EachKindReportsAndLeavesOnTimeAndBadArgumentsAttachNothing) {
  FakeClock clock;
  csys_timerTicks ticks[3] = {};
  csys_attention_attachTimerTicksList(ticks, 2);  // counted checks record their times
  const csys_status ok = CSYS_OK, bad = CSYS_E_INVALID_ARGUMENT, out = CSYS_E_TIMEOUT;
  // (attach, its status, what successive checks return after waiting the seconds given, entries
  // left): never early, once per period in time, 1.6 s late silently gone; counting never fires.
  // clang-format off
  const struct { const char* name; csys_status (*attach)(csys_attentionTag*); csys_status attached;
                 std::vector<csys_status> checks = {}; size_t stays = 0;
                 std::vector<double> waits = {}; } cases[] = {
      {"timeout 0", ATTACH(attachTimeout(t, nullptr, 0.0)), ok, {out, ok}},
      {"timeout 1", ATTACH(attachTimeout(t, nullptr, 1.0)), ok, {ok, out, ok}, 0, {0.999, 0.002}},
      {"periodic cancel 2", ATTACH(attachPeriodicCancel(t, nullptr, 2.0, kCustom)), ok,
       {ok, kCustom, ok, kCustom, ok}, 0, {1.999, 0.002, 1.0, 1.01, 3.7}},
      {"counted 3", ATTACH(attachCountedTimeout(t, nullptr, 3)), ok, {ok, ok, out, ok}},
      {"counted 0", ATTACH(attachCountedTimeout(t, nullptr, 0)), ok, {out, ok}},
      {"counting", ATTACH(attachCountedTimeout(t, nullptr, CSYS_ATTENTION_COUNTING_MODE)), ok,
       std::vector(7, ok), 1},
      {"periodic cancel 0", ATTACH(attachPeriodicCancel(t, nullptr, 0.0, kCustom)), ok, {ok}},
      {"huge", ATTACH(attachTimeout(t, nullptr, 1e308)), ok, {ok, ok}, 1},
      {"yield", ATTACH(attachPeriodicYield(t, nullptr, 0.0)), ok, std::vector(202, ok), 1},
      {"negative", ATTACH(attachTimeout(t, nullptr, -1.0)), bad},
      {"NaN", ATTACH(attachPeriodicYield(t, nullptr, NAN)), bad},
      {"cancel 0", ATTACH(attachCancel(t, nullptr, 0)), bad},
      {"positive", ATTACH(attachTimeoutCustom(t, nullptr, 1.0, 1)), bad},
      {"periodic 0", ATTACH(attachPeriodicCancel(t, nullptr, 1.0, 0)), bad},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Tag tag;
    ASSERT_EQ(c.attach(&tag.tag), c.attached);
    EXPECT_EQ(tag.tag.id == CSYS_ATTENTION_NO_ID, c.attached != CSYS_OK);
    for (size_t i = 0; i < c.checks.size(); ++i) {
      clock.advance(i < c.waits.size() ? c.waits[i] : 0.0);
      EXPECT_EQ(csys_attention_check(), c.checks[i]) << i;
    }
    EXPECT_EQ(ids(nullptr).size(), c.stays);
    EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);
    EXPECT_TRUE(ids(nullptr).empty());
  }
  csys_attention_detachTimerTicksList();
  uint32_t counted = 0;
  csys_attention_getNumAttentionChecks(&counted);
  EXPECT_EQ(counted, 7u);  // the counting row's checks: later attaches reset nothing
  EXPECT_TRUE(csys_timerTicks_toU64(ticks[1]) != 0 && csys_timerTicks_toU64(ticks[2]) == 0);
}

TEST(AttentionRoad, AControllersTimeoutUnwindsTheWorkersFrames) {
  Thread worker;
  csys_status result = CSYS_OK;
  worker.start([&] {
    CleanupFrame<1> frame;
    void* held = nullptr;
    if (frame.call(csys_memory_alloc_internal(64, &held))) {
      frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &held, csys_memory_free_internal);
      while (frame.call(csys_attention_check())) std::this_thread::yield();
    }
    result = frame.close();
  });
  Tag tag;
  ASSERT_EQ(csys_attentionTag_attachTimeout(&tag.tag, &worker.thread, 0.02), CSYS_OK);
  worker.join();
  EXPECT_EQ(result, CSYS_E_TIMEOUT);
  int32_t leaks = -1, valid = 0;
  EXPECT_TRUE(csys_cleanupReportLeaks(0, &leaks, &valid) == CSYS_OK && leaks == 0);
  EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_E_THREAD_ENDED);
}

// Ids newest first, skipping the unattached value; a destructed tag's entry still fires. Clones
// draw their ids newest first and stand oldest first between their group's markers.
TEST(AttentionIds, NewestFirstAndClonesOldestFirstBetweenTheirGroupsMarkers) {
  csys_attention_setNextId(0xFFFFFFFEu);
  Tag older, never;
  csys_attentionTag newer;
  csys_attentionTag_construct(&newer);
  ASSERT_EQ(csys_attentionTag_attachCancel(&older.tag, nullptr, kCustom), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachCancel(&newer, nullptr, CSYS_E_FAIL), CSYS_OK);
  EXPECT_EQ(ids(nullptr), (std::vector<uint32_t>{1, 0}));
  EXPECT_EQ(csys_attentionTag_destruct(&newer), CSYS_OK);  // the entry stays
  for (csys_status s : {CSYS_E_FAIL, kCustom, CSYS_OK}) EXPECT_EQ(csys_attention_check(), s);
  for (Tag* tag : {&older, &older, &never}) EXPECT_EQ(csys_attentionTag_detach(&tag->tag), CSYS_OK);
  Thread source(kUnstarted);
  Tag own, group, tags[3];
  for (csys_thread* from : {static_cast<csys_thread*>(nullptr), &source.thread}) {  // nothing
    EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, from), CSYS_OK);
    EXPECT_EQ(group.tag.id, CSYS_ATTENTION_NO_ID);
  }
  ASSERT_EQ(csys_attentionTag_attachTimeout(&own.tag, nullptr, 60.0), CSYS_OK);
  for (Tag& t : tags) ASSERT_EQ(csys_attentionTag_attachTimeout(&t.tag, &source.thread, 9.0), 0);
  ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &source.thread), CSYS_OK);
  const std::vector<uint32_t> l = ids(nullptr);
  ASSERT_EQ(l.size(), 6u);
  EXPECT_TRUE(l[0] == group.tag.id && l[4] == group.tag.id && l[5] == own.tag.id);
  EXPECT_TRUE(l[1] > l[2] && l[2] > l[3]);
  EXPECT_EQ(csys_attentionTag_detach(&group.tag), CSYS_OK);
  EXPECT_EQ(ids(nullptr), std::vector<uint32_t>{own.tag.id});
  EXPECT_EQ(ids(&source.thread).size(), 3u);
  EXPECT_EQ(csys_attentionTag_detach(&own.tag), CSYS_OK);  // the list outlives the test
}

// The worker's clone expires at the source's deadline; the source's own tag then leaves
// silently, so the expiry is reported once.
TEST(AttentionClones, AClonedTimeoutFiresAtTheSourcesDeadlineAndIsReportedOnce) {
  FakeClock clock;
  Thread self(kCurrent), worker;
  Tag source;
  ASSERT_EQ(csys_attentionTag_attachTimeout(&source.tag, nullptr, 1.0), CSYS_OK);
  clock.advance(0.5);
  worker.start([&] {
    Tag group;
    EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &self.thread), CSYS_OK);
    EXPECT_EQ(csys_attention_check(), CSYS_OK);
    clock.advance(0.6);
    EXPECT_EQ(csys_attention_check(), CSYS_E_TIMEOUT);
  });
  worker.join();
  EXPECT_EQ(csys_attention_check(), CSYS_OK);
  EXPECT_TRUE(ids(nullptr).empty());
}

// A proxy's checks report its target's tags (a cloned count continuing from its source's) and
// leave them in the target's list; a ring of proxies ends.
TEST(AttentionProxies, AProxySeesAClonedCountContinueAndStopsOnARing) {
  Thread a(kUnstarted), b(kUnstarted);
  Tag counted, group;
  ASSERT_EQ(csys_attentionTag_attachCountedTimeout(&counted.tag, nullptr, 10), CSYS_OK);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(csys_attention_check(), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, &b.thread, nullptr), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_detach(&counted.tag), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(&a.thread, &b.thread), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(&b.thread, &a.thread), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(nullptr, &a.thread), CSYS_OK);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(csys_attention_check(), CSYS_OK);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(csys_attention_check(), CSYS_E_TIMEOUT);
  EXPECT_EQ(ids(&b.thread).size(), 3u);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_attention_check(), CSYS_OK);
  for (Thread* t : {&a, &b}) {  // the ring's records hold each other until it is broken
    EXPECT_EQ(csys_attentionBecomeProxyForThread(&t->thread, &t->thread), CSYS_OK);
  }
}

// The entry is attached before the end destroys the list, or the attach is refused; after the
// end, attaching and checking through a proxy are refused.
TEST(AttentionRaces, AttachRacingWithTheTargetsEndLandsOrIsRefused) {
  for (int i = pmtsys_test::stressIterations(300); i > 0; --i) {
    Thread target;
    target.start([] {});
    Tag tag;
    const csys_status status = csys_attentionTag_attachTimeout(&tag.tag, &target.thread, 60.0);
    EXPECT_TRUE(status == CSYS_OK || status == CSYS_E_THREAD_ENDED) << status;
    target.join();
    EXPECT_EQ(csys_attentionTag_attachCancel(&tag.tag, &target.thread, -1), CSYS_E_THREAD_ENDED);
    EXPECT_EQ(csys_attentionBecomeProxyForThread(nullptr, &target.thread), CSYS_OK);
    EXPECT_EQ(csys_attention_check(), CSYS_E_THREAD_ENDED);
    EXPECT_EQ(csys_attentionBecomeProxyForThread(nullptr, nullptr), CSYS_OK);
  }
}

// A clone made before the source's detach fires in its worker (marking a source that is gone or
// leaves silently); one made after has nothing of it.
TEST(AttentionRaces, CloneRacesWithTheSourcesDetach) {
  const int rounds = pmtsys_test::stressIterations(2000);
  std::atomic<int> stop{0};
  Thread self(kCurrent), cloner;
  cloner.start([&] {
    while (!stop) {
      Tag group;
      ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &self.thread), 0);
      const csys_status status = csys_attention_check();
      EXPECT_TRUE(status == CSYS_OK || status == -1) << status;
      ASSERT_EQ(csys_attentionTag_detach(&group.tag), CSYS_OK);
    }
  });
  for (int i = 0; i < rounds; ++i) {
    Tag t;
    ASSERT_EQ(csys_attentionTag_attachCancel(&t.tag, nullptr, -1), 0);
    ASSERT_EQ(csys_attentionTag_detach(&t.tag), CSYS_OK);
  }
  stop = 1;
  cloner.join();
  EXPECT_TRUE(ids(nullptr).empty());
}

}  // namespace
