// Races with one defined outcome each, run many times (the TSan leg checks them).
#include <atomic>
#include <thread>

#include "attention_support.h"
#include "support/platform.h"

using namespace pmtsys_test;

// Each cancel is either reported once by a checking worker or removed by the detach.
TEST(AttentionRaces, DetachRacingWithFireReportsEachCancelAtMostOnce) {
  const int rounds = stressIterations(2000);
  std::atomic<bool> stop{false};
  std::atomic<int> seen{0};
  Thread workers[2];
  for (Thread& w : workers) {
    w.start([&] {
      while (!stop) {
        if (csys_attention_check() == CSYS_E_FAIL) ++seen;
      }
    });
  }
  for (int i = 0; i < rounds; ++i) {
    Tag tag;
    ASSERT_EQ(csys_attentionTag_attachCancel(&tag.tag, &workers[i % 2].thread, CSYS_E_FAIL),
              CSYS_OK);
    ASSERT_EQ(csys_attentionTag_detach(&tag.tag), CSYS_OK);
  }
  stop = true;
  for (Thread& w : workers) w.join();
  EXPECT_LE(seen.load(), rounds);
}

// The entry is attached before the end destroys the list, or the attach is refused.
TEST(AttentionRaces, AttachRacingWithTheTargetsEndLandsOrIsRefused) {
  for (int i = stressIterations(300); i > 0; --i) {
    Thread target;
    target.start([] {});
    Tag tag;
    const csys_status status = csys_attentionTag_attachTimeout(&tag.tag, &target.thread, 60.0);
    EXPECT_TRUE(status == CSYS_OK || status == CSYS_E_THREAD_ENDED) << status;
    target.join();
  }
}

// A clone made before the source's detach keeps its own copy; one made after has nothing of it.
TEST(AttentionRaces, CloneRacingWithTheSourcesDetachCopiesOrMisses) {
  csys_thread self;
  ASSERT_EQ(csys_thread_construct(&self), CSYS_OK);
  ASSERT_EQ(csys_thread_getCurrentThread(&self), CSYS_OK);
  std::atomic<bool> stop{false};
  Thread worker;
  worker.start([&] {
    while (!stop) {
      Tag group;
      ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &self), CSYS_OK);
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
  csys_thread_destruct(&self);
}
