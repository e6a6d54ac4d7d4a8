// Cloned tag groups and proxies across threads.
#include "attention_support.h"

using namespace pmtsys_test;

TEST(AttentionClones, AGroupStandsBetweenMarkersOldestFirstAndDetachesWhole) {
  Thread source;
  source.unstarted();
  Tag own, group, tags[3];
  for (csys_thread* from : {static_cast<csys_thread*>(nullptr), &source.thread}) {  // nothing
    EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, from), CSYS_OK);
    EXPECT_EQ(group.tag.id, CSYS_ATTENTION_NO_ID);
  }
  ASSERT_EQ(csys_attentionTag_attachTimeout(&own.tag, nullptr, 60.0), CSYS_OK);
  for (Tag& t : tags) ASSERT_EQ(csys_attentionTag_attachTimeout(&t.tag, &source.thread, 9.0), 0);
  ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &source.thread), CSYS_OK);
  // Clones draw their ids newest first and stand oldest first.
  const std::vector<uint32_t> l = ids(nullptr);
  ASSERT_EQ(l.size(), 6u);
  EXPECT_TRUE(l[0] == group.tag.id && l[4] == group.tag.id && l[5] == own.tag.id);
  EXPECT_TRUE(l[1] > l[2] && l[2] > l[3]);
  EXPECT_EQ(csys_attentionTag_detach(&group.tag), CSYS_OK);
  EXPECT_EQ(ids(nullptr), std::vector<uint32_t>{own.tag.id});
  EXPECT_EQ(ids(&source.thread).size(), 3u);
  EXPECT_EQ(csys_attentionTag_detach(&own.tag),
            CSYS_OK);  // the calling thread's list outlives the test
}

// The worker's clone expires at the source's deadline; the source's own tag then leaves
// silently, so the expiry is reported once.
TEST(AttentionClones, AClonedTimeoutFiresAtTheSourcesDeadlineAndIsReportedOnce) {
  FakeClock clock;
  Thread self, worker;
  self.current();
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
  Thread a, b;
  a.unstarted();
  b.unstarted();
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
