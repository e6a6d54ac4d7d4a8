// Tag kinds, entry ids and removal, and the road of one time-out through a worker's frames.
#include <cmath>
#include <thread>

#include "attention_support.h"
#include "cleanup/cleanup_internal.h"
#include "csys_memory.h"

using namespace pmtsys_test;

static constexpr csys_status kCustom = CSYS_STATUS(0x80001234u);

struct KindCase {
  const char* name;
  std::function<csys_status(csys_attentionTag*)> attach;
  csys_status attached;
  std::vector<csys_status> checks = {};  // what successive checks return
  size_t stays = 0;                      // entries left afterwards
};

#define ATTACH(call) [](csys_attentionTag* t) { return csys_attentionTag_##call; }

TEST(AttentionKinds, EachKindReportsAndLeavesAsItShouldAndBadArgumentsAttachNothing) {
  const csys_status ok = CSYS_OK, bad = CSYS_E_INVALID_ARGUMENT, out = CSYS_E_TIMEOUT;
  // clang-format off
  const KindCase cases[] = {
      {"timeout 0", ATTACH(attachTimeout(t, nullptr, 0.0)), ok, {out, ok}, 0},
      {"cancel", ATTACH(attachCancel(t, nullptr, kCustom)), ok, {kCustom, ok}, 0},
      {"counted 3", ATTACH(attachCountedTimeout(t, nullptr, 3)), ok, {ok, ok, out, ok}, 0},
      {"counted 0", ATTACH(attachCountedTimeout(t, nullptr, 0)), ok, {out, ok}, 0},
      {"periodic cancel 0", ATTACH(attachPeriodicCancel(t, nullptr, 0.0, kCustom)), ok, {ok}, 0},
      {"huge", ATTACH(attachTimeout(t, nullptr, 1e308)), ok, {ok, ok}, 1},
      {"yield", ATTACH(attachPeriodicYield(t, nullptr, 0.0)), ok, std::vector(202, ok), 1},
      {"negative", ATTACH(attachTimeout(t, nullptr, -1.0)), bad},
      {"NaN", ATTACH(attachPeriodicYield(t, nullptr, NAN)), bad},
      {"cancel 0", ATTACH(attachCancel(t, nullptr, 0)), bad},
      {"positive", ATTACH(attachTimeoutCustom(t, nullptr, 1.0, 1)), bad},
      {"periodic 0", ATTACH(attachPeriodicCancel(t, nullptr, 1.0, 0)), bad},
  };
  // clang-format on
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.name);
    Tag tag;
    ASSERT_EQ(c.attach(&tag.tag), c.attached);
    EXPECT_EQ(tag.tag.id == CSYS_ATTENTION_NO_ID, c.attached != CSYS_OK);
    for (csys_status expected : c.checks) EXPECT_EQ(csys_attention_check(), expected);
    EXPECT_EQ(ids(nullptr).size(), c.stays);
    EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);
    EXPECT_TRUE(ids(nullptr).empty());
  }
}

TEST(AttentionKinds, DeadlinesAndPeriodsFollowTheClock) {
  FakeClock clock;
  Tag timeout, periodic;
  ASSERT_EQ(csys_attentionTag_attachTimeout(&timeout.tag, nullptr, 1.0), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachPeriodicCancel(&periodic.tag, nullptr, 2.0, kCustom), CSYS_OK);
  // (advance by, expected): never early; once per period in time; 1.6 s late, silently gone.
  const std::pair<double, csys_status> steps[] = {
      {0.999, CSYS_OK}, {0.002, CSYS_E_TIMEOUT}, {0.5, CSYS_OK}, {0.5, kCustom},
      {1.0, CSYS_OK},   {1.01, kCustom},         {3.7, CSYS_OK}};
  for (const auto& [seconds, expected] : steps) {
    clock.advance(seconds);
    EXPECT_EQ(csys_attention_check(), expected) << seconds;
  }
  EXPECT_TRUE(ids(nullptr).empty());
}

TEST(AttentionKinds, CountedTimeoutsRecordCheckTimesAndCountChecks) {
  Tag tag;
  csys_timerTicks ticks[3] = {};
  csys_attention_attachTimerTicksList(ticks, 2);
  ASSERT_EQ(csys_attentionTag_attachCountedTimeout(&tag.tag, nullptr, 5), CSYS_OK);
  for (int i = 0; i < 5; ++i) csys_attention_check();
  EXPECT_TRUE(csys_timerTicks_toU64(ticks[1]) != 0 && csys_timerTicks_toU64(ticks[2]) == 0);
  csys_attention_detachTimerTicksList();
  csys_attentionTag_attachCountedTimeout(&tag.tag, nullptr, CSYS_ATTENTION_COUNTING_MODE);
  for (int i = 0; i < 7; ++i) csys_attention_check();
  uint32_t checks = 0;
  csys_attention_getNumAttentionChecks(&checks);
  EXPECT_EQ(checks, 7u);
  EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);  // counting mode never fires
}

TEST(AttentionIds, NewestFirstTheUnattachedValueSkippedDetachAfterFiringFindsNothing) {
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
}

// The road of one event: a controller's time-out stops a worker deep in a frame that holds
// memory; the status reaches the worker's caller unchanged and no frame is left open.
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
