// Races with one defined outcome each, run many times (the TSan leg checks them).
#include "attention_support.h"
#include "support/platform.h"

using namespace pmtsys_test;

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

// A clone made before the source's detach fires in its worker (marking a source that is gone or
// leaves silently); one made after has nothing of it.
TEST(AttentionRaces, CloneRacesWithTheSourcesDetach) {
  const int rounds = stressIterations(2000);
  std::atomic<int> stop{0};
  Thread self, cloner;
  self.current();
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
