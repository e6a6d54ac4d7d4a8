// Tag kinds, entry ids and removal, and the road of one time-out through a worker's frames.
#include <cmath>
#include <thread>

#include "attention_support.h"
#include "cleanup/cleanup_internal.h"
#include "support/fault_loop.h"

using namespace pmtsys_test;

namespace {

constexpr csys_status kCustom = CSYS_STATUS(0x80001234u);
using Attach = std::function<csys_status(csys_attentionTag*)>;

struct KindCase {
  const char* name;
  Attach attach;
  std::vector<csys_status> checks;  // what successive checks return
  size_t stays;                     // entries left afterwards
};

}  // namespace

TEST(AttentionKinds, EachKindReportsAndLeavesAsItShould) {
  const std::vector<csys_status> yields(202, CSYS_OK);
  const KindCase cases[] = {
      {"timeout 0",
       [](auto* t) { return csys_attentionTag_attachTimeout(t, nullptr, 0.0); },
       {CSYS_E_TIMEOUT, CSYS_OK},
       0},
      {"cancel",
       [](auto* t) { return csys_attentionTag_attachCancel(t, nullptr, kCustom); },
       {kCustom, CSYS_OK},
       0},
      {"counted 3",
       [](auto* t) { return csys_attentionTag_attachCountedTimeout(t, nullptr, 3); },
       {CSYS_OK, CSYS_OK, CSYS_E_TIMEOUT, CSYS_OK},
       0},
      {"counted 0",
       [](auto* t) { return csys_attentionTag_attachCountedTimeout(t, nullptr, 0); },
       {CSYS_E_TIMEOUT, CSYS_OK},
       0},
      {"periodic cancel 0",
       [](auto* t) { return csys_attentionTag_attachPeriodicCancel(t, nullptr, 0.0, kCustom); },
       {CSYS_OK},
       0},
      {"huge timeout",
       [](auto* t) { return csys_attentionTag_attachTimeout(t, nullptr, 1e308); },
       {CSYS_OK, CSYS_OK},
       1},
      {"periodic yield",
       [](auto* t) { return csys_attentionTag_attachPeriodicYield(t, nullptr, 0.0); }, yields, 1},
  };
  for (const KindCase& c : cases) {
    SCOPED_TRACE(c.name);
    Tag tag;
    ASSERT_EQ(c.attach(&tag.tag), CSYS_OK);
    for (csys_status expected : c.checks) EXPECT_EQ(csys_attention_check(), expected);
    EXPECT_EQ(ids(nullptr).size(), c.stays);
    EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);
    EXPECT_TRUE(ids(nullptr).empty());
  }
}

TEST(AttentionKinds, RefusesBadArgumentsAndAttachesNothing) {
  const Attach bad[] = {
      [](auto* t) { return csys_attentionTag_attachTimeout(t, nullptr, -1.0); },
      [](auto* t) { return csys_attentionTag_attachTimeout(t, nullptr, NAN); },
      [](auto* t) { return csys_attentionTag_attachCancel(t, nullptr, 0); },
      [](auto* t) { return csys_attentionTag_attachTimeoutCustom(t, nullptr, 1.0, 1); },
      [](auto* t) { return csys_attentionTag_attachPeriodicYield(t, nullptr, -0.5); },
      [](auto* t) { return csys_attentionTag_attachPeriodicCancel(t, nullptr, 1.0, 0); },
  };
  for (const Attach& attach : bad) {
    Tag tag;
    EXPECT_EQ(attach(&tag.tag), CSYS_E_INVALID_ARGUMENT);
    EXPECT_EQ(tag.tag.id, CSYS_ATTENTION_NO_ID);
  }
  EXPECT_TRUE(ids(nullptr).empty());
}

TEST(AttentionKinds, CountingModeAndTheTicksListCountChecks) {
  Tag tag;
  csys_timerTicks ticks[3] = {};
  ASSERT_EQ(csys_attention_attachTimerTicksList(ticks, 2), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachCountedTimeout(&tag.tag, nullptr, 5), CSYS_OK);
  for (int i = 0; i < 5; ++i) csys_attention_check();
  EXPECT_TRUE(ticks[0].low != 0 || ticks[0].high != 0);
  EXPECT_TRUE(ticks[1].low != 0 || ticks[1].high != 0);
  EXPECT_TRUE(ticks[2].low == 0 && ticks[2].high == 0);
  csys_attention_detachTimerTicksList();
  ASSERT_EQ(csys_attentionTag_attachCountedTimeout(&tag.tag, nullptr, CSYS_ATTENTION_COUNTING_MODE),
            CSYS_OK);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(csys_attention_check(), CSYS_OK);
  uint32_t checks = 0;
  EXPECT_EQ(csys_attention_getNumAttentionChecks(&checks), CSYS_OK);
  EXPECT_EQ(checks, 7u);
}

TEST(AttentionKinds, DeadlinesAndPeriodsFollowTheClock) {
  FakeClock clock;
  Tag timeout, periodic;
  ASSERT_EQ(csys_attentionTag_attachTimeout(&timeout.tag, nullptr, 1.0), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachPeriodicCancel(&periodic.tag, nullptr, 2.0, kCustom), CSYS_OK);
  // (seconds to advance, status expected): never before the deadline; once per period while in
  // time; a period checked more than 1.6 s late leaves silently.
  const std::pair<double, csys_status> steps[] = {
      {0.999, CSYS_OK}, {0.002, CSYS_E_TIMEOUT}, {0.5, CSYS_OK}, {0.5, kCustom},
      {1.0, CSYS_OK},   {1.01, kCustom},         {3.7, CSYS_OK}};
  for (const auto& [seconds, expected] : steps) {
    clock.advance(seconds);
    EXPECT_EQ(csys_attention_check(), expected) << seconds;
  }
  EXPECT_TRUE(ids(nullptr).empty());
}

TEST(AttentionIds, NewestFirstEachLeavesWhenItFiresAndDetachFindsNothingLater) {
  Tag older, newer;
  ASSERT_EQ(csys_attentionTag_attachCancel(&older.tag, nullptr, kCustom), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachCancel(&newer.tag, nullptr, CSYS_E_FAIL), CSYS_OK);
  EXPECT_EQ(ids(nullptr), (std::vector<uint32_t>{newer.tag.id, older.tag.id}));
  EXPECT_EQ(csys_attention_check(), CSYS_E_FAIL);
  EXPECT_EQ(csys_attention_check(), kCustom);
  EXPECT_EQ(csys_attention_check(), CSYS_OK);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(csys_attentionTag_detach(&older.tag), CSYS_OK);
  Tag never;
  EXPECT_EQ(csys_attentionTag_detach(&never.tag), CSYS_OK);
}

TEST(AttentionIds, TheUnattachedValueIsSkippedAndDestructLeavesTheEntry) {
  csys_attention_setNextId(0xFFFFFFFEu);
  csys_attentionTag tag;
  ASSERT_EQ(csys_attentionTag_construct(&tag), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachCancel(&tag, nullptr, kCustom), CSYS_OK);
  EXPECT_EQ(tag.id, 0u);
  EXPECT_EQ(csys_attentionTag_destruct(&tag), CSYS_OK);
  EXPECT_EQ(csys_attention_check(), kCustom);
}

TEST(AttentionIds, AFailedAttachLeavesNothingBehind) {
  Tag tag;
  sweepAllocationFailures([&] { return csys_attentionTag_attachTimeout(&tag.tag, nullptr, 60.0); },
                          [&] {
                            EXPECT_EQ(tag.tag.id, CSYS_ATTENTION_NO_ID);
                            EXPECT_TRUE(ids(nullptr).empty());
                          });
  EXPECT_EQ(ids(nullptr), std::vector<uint32_t>{tag.tag.id});
}

TEST(AttentionIds, AnEndedThreadRefusesAttachAndCheck) {
  Thread ended;
  ended.run([] {});
  Tag tag;
  EXPECT_EQ(csys_attentionTag_attachTimeout(&tag.tag, &ended.thread, 1.0), CSYS_E_THREAD_ENDED);
  EXPECT_EQ(csys_attentionBecomeProxyForThread(nullptr, &ended.thread), CSYS_OK);
  EXPECT_EQ(csys_attention_check(), CSYS_E_THREAD_ENDED);
}

// The road of one event: a controller's time-out stops a worker deep in a frame that holds
// memory; the status reaches the worker's caller unchanged and nothing stays allocated.
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
  EXPECT_EQ(csys_cleanupReportLeaks(0, &leaks, &valid), CSYS_OK);
  EXPECT_EQ(leaks, 0);
  EXPECT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_E_THREAD_ENDED);
}
