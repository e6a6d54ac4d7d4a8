// Races with one defined outcome each, run many times (the TSan leg checks them).
#include <atomic>

#include "attention_support.h"
#include "support/platform.h"

using namespace pmtsys_test;

// Each cancel is either reported once by a checking worker or removed by the detach.
TEST(AttentionRaces, DetachRacingWithFireReportsEachCancelAtMostOnce) {
  const int rounds = stressIterations(2000);
  std::atomic<int> stop{0}, seen{0};
  Thread workers[2];
  for (Thread& w : workers) {
    w.start([&] {
      while (!stop) seen += csys_attention_check() == CSYS_E_FAIL ? 1 : 0;
    });
  }
  for (int i = 0; i < rounds; ++i) {
    Tag tag;
    ASSERT_EQ(csys_attentionTag_attachCancel(&tag.tag, &workers[i % 2].thread, CSYS_E_FAIL),
              CSYS_OK);
    ASSERT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);
  }
  stop = 1;
  for (Thread& w : workers) w.join();
  EXPECT_LE(seen.load(), rounds);
}

// The entry is attached before the end destroys the list, or the attach is refused; after the
// end, attaching and checking through a proxy are refused.
TEST(AttentionRaces, AttachRacingWithTheTargetsEndLandsOrIsRefused) {
  for (int i = stressIterations(300); i > 0; --i) {
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

// A clone made before the source's detach fires in the worker (and marks the source, which is
// gone or leaves silently); one made after has nothing of it.
TEST(AttentionRaces, CloneRacingWithTheSourcesDetachCopiesOrMisses) {
  Thread self, worker;
  self.current();
  std::atomic<bool> stop{false};
  worker.start([&] {
    while (!stop) {
      Tag group;
      ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &self.thread),
                CSYS_OK);
      const csys_status status = csys_attention_check();
      EXPECT_TRUE(status == CSYS_OK || status == CSYS_E_FAIL) << status;
      ASSERT_EQ(csys_attentionTag_detach(&group.tag), CSYS_OK);
    }
  });
  for (int i = stressIterations(2000); i > 0; --i) {
    Tag cancel;
    ASSERT_EQ(csys_attentionTag_attachCancel(&cancel.tag, nullptr, CSYS_E_FAIL), CSYS_OK);
    ASSERT_EQ(csys_attentionTag_detach(&cancel.tag), CSYS_OK);
  }
  stop = true;
  worker.join();
  EXPECT_TRUE(ids(nullptr).empty());
}
