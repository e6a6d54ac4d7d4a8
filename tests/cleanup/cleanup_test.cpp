// Cleanup frames: which entries run on which outcome and in what order, early release, the
// status rules, and tag tracking with its exact leak report.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "cleanup/cleanup_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "support/report_capture.h"

namespace {

std::vector<std::string> g_calls;

csys_status recordObject(void* object) {
  g_calls.push_back(static_cast<const char*>(object));
  return CSYS_OK;
}
csys_status failObject(void* object) {
  g_calls.push_back(static_cast<const char*>(object));
  return CSYS_STATUS(0x80000777u);
}
csys_status clearEntryObject(void** object) {
  g_calls.push_back("entry");
  *object = nullptr;
  return CSYS_OK;
}
csys_status noArgument() {
  g_calls.push_back("noarg");
  return CSYS_OK;
}

class Cleanup : public ::testing::Test {
 protected:
  void SetUp() override { g_calls.clear(); }

  static pmtsys_test::LeakReport report() {
    return pmtsys_test::printedLeakReport(csys_cleanupReportLeaks);
  }
};

constexpr uint32_t kObjOnFailure = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE;
constexpr uint32_t kObjAlways = CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS;

TEST_F(Cleanup, EntriesRunNewestFirstByOutcome) {
  {
    CleanupFrame<3> frame;
    frame.add(kObjAlways, "always", recordObject);
    frame.add(kObjOnFailure, "on failure", recordObject);
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_SUCCESS, "on success", recordObject);
    EXPECT_EQ(frame.close(), CSYS_OK);
  }
  EXPECT_EQ(g_calls, (std::vector<std::string>{"on success", "always"}));
  g_calls.clear();
  {
    CleanupFrame<3> frame;
    frame.add(kObjAlways, "always", recordObject);
    frame.add(kObjOnFailure, "on failure", recordObject);
    EXPECT_EQ(frame.fail(CSYS_E_OUT_OF_MEMORY), CSYS_E_OUT_OF_MEMORY);
  }
  EXPECT_EQ(g_calls, (std::vector<std::string>{"on failure", "always"}));
}

TEST_F(Cleanup, AFailingCleanupStopsTheOlderOnes) {
  {
    CleanupFrame<3> frame;
    frame.add(kObjAlways, "oldest", recordObject);
    frame.add(kObjAlways, "failing", failObject);
    frame.add(kObjAlways, "newest", recordObject);
    EXPECT_EQ(frame.close(), CSYS_STATUS(0x80000777u));
  }
  EXPECT_EQ(g_calls, (std::vector<std::string>{"newest", "failing"}));
  g_calls.clear();
  // A frame that already failed keeps its own failure.
  CleanupFrame<2> frame;
  frame.add(kObjAlways, "oldest", recordObject);
  frame.add(kObjAlways, "failing", failObject);
  EXPECT_EQ(frame.fail(CSYS_E_INVALID_ARGUMENT), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"failing"}));
}

TEST_F(Cleanup, SuccessCodesDoNotSurviveAFrame) {
  csys_cleanupEntry entries[1];
  int32_t count = 0;
  csys_status status = CSYS_STATUS(5);
  csys_cleanupExecute_(entries, &count, &status, csys_cleanup_getNextTag());
  EXPECT_EQ(status, CSYS_OK);
  EXPECT_EQ(count, -1);
}

TEST_F(Cleanup, AllCallKinds) {
  void* block = nullptr;
  ASSERT_EQ(csys_memory_alloc_internal(64, &block), CSYS_OK);
  CleanupFrame<4> frame;
  frame.add(CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &block, csys_memory_free_internal);
  frame.add(CSYS_CLEANUP_CALL_ENTRY | CSYS_CLEANUP_RUN_ALWAYS, "x", clearEntryObject);
  frame.add(CSYS_CLEANUP_CALL_NOARG | CSYS_CLEANUP_RUN_ALWAYS, nullptr, noArgument);
  frame.add(CSYS_CLEANUP_RUN_ALWAYS, "disarmed kind 0", recordObject);
  EXPECT_EQ(frame.close(), CSYS_OK);
  EXPECT_EQ(block, nullptr);  // the variable was freed and cleared
  EXPECT_EQ(g_calls, (std::vector<std::string>{"noarg", "entry"}));
}

TEST_F(Cleanup, ReleaseEarlyRunsOrForgetsTheNewest) {
  CleanupFrame<3> frame;
  frame.add(kObjAlways, "first", recordObject);
  frame.add(kObjAlways, "second", recordObject);
  frame.releaseNewest(true);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second"}));
  frame.add(kObjAlways, "handed over", recordObject);
  frame.releaseNewest(false);  // ownership passed elsewhere: not run
  EXPECT_EQ(frame.close(), CSYS_OK);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"second", "first"}));
}

TEST_F(Cleanup, DoIdRemovesFromTheMiddle) {
  csys_cleanupEntry entries[3] = {
      {0, kObjAlways, const_cast<char*>("a"), recordObject},
      {1, kObjAlways, const_cast<char*>("b"), recordObject},
      {2, kObjAlways, const_cast<char*>("c"), recordObject},
  };
  int32_t count = 3;
  csys_status status = CSYS_OK;
  csys_cleanup_doId_(entries, &count, &status, 1, 1);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(entries[1].id, 2u);
  EXPECT_EQ(entries[2].id, 0xFFFFFFFFu);
  EXPECT_EQ(entries[2].flags, 0u);
  {
    pmtsys_test::AssertCapture asserts;
    csys_cleanup_doId_(entries, &count, &status, 42, 1);  // not in the frame
    EXPECT_EQ(asserts.count(), 1u);
    EXPECT_EQ(count, 2);
  }
  csys_cleanupExecute_(entries, &count, &status, CSYS_CLEANUP_UNTRACKED_TAG);
  EXPECT_EQ(g_calls, (std::vector<std::string>{"b", "c", "a"}));
}

TEST_F(Cleanup, UnknownKindAsserts) {
  pmtsys_test::AssertCapture asserts;
  csys_cleanupEntry entry{0, 0x33u, nullptr, recordObject};
  int32_t count = 1;
  csys_status status = CSYS_OK;
  csys_cleanupExecute_(&entry, &count, &status, CSYS_CLEANUP_UNTRACKED_TAG);
  EXPECT_EQ(asserts.count(), 1u);
  EXPECT_TRUE(g_calls.empty());
}

TEST_F(Cleanup, LeakedTagsAreListedAsRanges) {
  const int32_t base = csys_cleanup_getNextTag();  // never logged: a leak
  const int32_t t1 = csys_cleanup_getNextTag();
  const int32_t t2 = csys_cleanup_getNextTag();  // leaked
  const int32_t t3 = csys_cleanup_getNextTag();  // leaked
  const int32_t t4 = csys_cleanup_getNextTag();  // leaked
  const int32_t t5 = csys_cleanup_getNextTag();
  ASSERT_EQ(csys_cleanup_logExecute(t5), CSYS_OK);
  ASSERT_EQ(csys_cleanup_logExecute(t1), CSYS_OK);
  ASSERT_EQ(csys_cleanup_logExecute(CSYS_CLEANUP_UNTRACKED_TAG), CSYS_OK);
  auto [leaks, text] = report();
  EXPECT_EQ(leaks, base + 4);  // every tag below base, base itself, and t2..t4
  const std::string prefix = base == 0 ? "C0" : "C0-" + std::to_string(base);
  EXPECT_EQ(text, "Detected cleanup leaks!\nDumping tags ->\n{" + prefix + ", C" +
                      std::to_string(t2) + "-" + std::to_string(t4) +
                      "}\n Data: End of cleanup leaks\n");
  // Logging the gap merges the neighbours on both sides.
  ASSERT_EQ(csys_cleanup_logExecute(t3), CSYS_OK);
  ASSERT_EQ(csys_cleanup_logExecute(t2), CSYS_OK);
  ASSERT_EQ(csys_cleanup_logExecute(t4), CSYS_OK);
  for (int32_t tag = 0; tag <= base; ++tag) ASSERT_EQ(csys_cleanup_logExecute(tag), CSYS_OK);
  std::tie(leaks, text) = report();
  EXPECT_EQ(leaks, 0);
  EXPECT_EQ(text, "");
}

TEST_F(Cleanup, ConcurrentFramesLeaveNoLeaks) {
  const auto before = report();  // no frame yet: nothing to print
  EXPECT_EQ(before.first, 0);
  EXPECT_EQ(before.second, "");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) {
        CleanupFrame<1> frame;
        frame.add(
            kObjAlways, nullptr,
            static_cast<csys_status (*)(void*)>([](void*) -> csys_status { return CSYS_OK; }));
        ASSERT_EQ(frame.close(), CSYS_OK);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(report().first, 0);
}

}  // namespace
