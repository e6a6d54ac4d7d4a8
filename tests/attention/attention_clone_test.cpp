// Cloned tag groups and proxies across threads.
#include "attention_support.h"

using namespace pmtsys_test;

namespace {

csys_status statusOf(const csys_attentionEntry* entry) {
  void* whole = nullptr;
  cstd_ptrh_getWholeShared(&entry->data, &whole);
  return whole != nullptr ? static_cast<csys_attentionTagData*>(whole)->status : CSYS_OK;
}

}  // namespace

TEST(AttentionClones, AGroupStandsBetweenMarkersOldestFirstAndDetachesWhole) {
  Thread source, empty;
  source.makeUnstarted();
  empty.makeUnstarted();
  Tag own, group, tags[3];
  ASSERT_EQ(csys_attentionTag_attachTimeout(&own.tag, nullptr, 60.0), CSYS_OK);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(csys_attentionTag_attachTimeoutCustom(&tags[i].tag, &source.thread, 60.0,
                                                    CSYS_STATUS(0x80000100u + unsigned(i))),
              CSYS_OK);
  }
  EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &empty.thread), CSYS_OK);
  EXPECT_EQ(group.tag.id, CSYS_ATTENTION_NO_ID);
  ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &source.thread), CSYS_OK);
  const std::vector<uint32_t> list = ids(nullptr);
  ASSERT_EQ(list.size(), 6u);
  EXPECT_EQ(list[0], group.tag.id);
  EXPECT_EQ(list[4], group.tag.id);
  EXPECT_EQ(list[5], own.tag.id);
  csys_threadRecord* record = nullptr;
  ASSERT_EQ(csys_thread_getCurrentRecord(&record), CSYS_OK);
  const csys_attentionEntry* entry = record->attention->next->next;
  for (unsigned i = 0; i < 3; ++i, entry = entry->next) {
    EXPECT_EQ(statusOf(entry), CSYS_STATUS(0x80000100u + i));
  }
  EXPECT_EQ(csys_attentionTag_detach(&group.tag), CSYS_OK);
  EXPECT_EQ(ids(nullptr), std::vector<uint32_t>{own.tag.id});
  EXPECT_EQ(ids(&source.thread).size(), 3u);
}

// The worker's clone expires at the source's deadline; the source's own tag then leaves
// silently, so the expiry is reported once.
TEST(AttentionClones, AClonedTimeoutFiresAtTheSourcesDeadlineAndIsReportedOnce) {
  FakeClock clock;
  csys_thread self;
  ASSERT_EQ(csys_thread_construct(&self), CSYS_OK);
  ASSERT_EQ(csys_thread_getCurrentThread(&self), CSYS_OK);
  Tag source;
  ASSERT_EQ(csys_attentionTag_attachTimeout(&source.tag, nullptr, 1.0), CSYS_OK);
  clock.advance(0.5);
  Thread worker;
  worker.run([&] {
    Tag group;
    EXPECT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, nullptr, &self), CSYS_OK);
    EXPECT_EQ(csys_attention_check(), CSYS_OK);
    clock.advance(0.6);
    EXPECT_EQ(csys_attention_check(), CSYS_E_TIMEOUT);
  });
  EXPECT_EQ(csys_attention_check(), CSYS_OK);
  EXPECT_TRUE(ids(nullptr).empty());
  csys_thread_destruct(&self);
}

TEST(AttentionClones, AClonedCountContinuesFromTheSourcesCount) {
  Thread clone;
  clone.makeUnstarted();
  Tag counted, group;
  ASSERT_EQ(csys_attentionTag_attachCountedTimeout(&counted.tag, nullptr, 10), CSYS_OK);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(csys_attention_check(), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_attachClonesFromThread(&group.tag, &clone.thread, nullptr), CSYS_OK);
  ASSERT_EQ(csys_attentionTag_detach(&counted.tag), CSYS_OK);
  // Evaluated through a proxy, whose checks leave the clone in its own list.
  ASSERT_EQ(csys_attentionBecomeProxyForThread(nullptr, &clone.thread), CSYS_OK);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(csys_attention_check(), CSYS_OK);
  EXPECT_EQ(csys_attention_check(), CSYS_E_TIMEOUT);
  EXPECT_EQ(ids(&clone.thread).size(), 3u);
  EXPECT_EQ(csys_attentionBecomeProxyForThread(nullptr, nullptr), CSYS_OK);
}

TEST(AttentionProxies, AProxyReportsTheTargetsTagsLeavesThemAndStopsOnARing) {
  Thread a, b;
  a.makeUnstarted();
  b.makeUnstarted();
  Tag cancel;
  ASSERT_EQ(csys_attentionTag_attachCancel(&cancel.tag, &b.thread, CSYS_E_FAIL), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(&a.thread, &b.thread), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(&b.thread, &a.thread), CSYS_OK);
  ASSERT_EQ(csys_attentionBecomeProxyForThread(nullptr, &a.thread), CSYS_OK);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(csys_attention_check(), CSYS_E_FAIL);
  EXPECT_EQ(ids(&b.thread), std::vector<uint32_t>{cancel.tag.id});
  ASSERT_EQ(csys_attentionBecomeProxyForThread(nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_attention_check(), CSYS_OK);
}
