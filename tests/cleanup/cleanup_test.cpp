// Cleanup frames: which entries run on which outcome and in what order, early release, the
// status rules, and tag tracking with its exact leak report.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "csys_cleanup.h"
#include "support/report_capture.h"

namespace {

std::string g_calls;  // names of the entries run, each followed by a blank

// Kind OBJ gets the name; ENTRY and VAR get the address of a name, which they clear.
csys_status record(void* name) {
  g_calls += static_cast<const char*>(name) + std::string(" ");
  return *static_cast<const char*>(name) == '!' ? CSYS_STATUS(0x80000777u) : CSYS_OK;
}
csys_status recordAndClear(void** name) {
  record(*name);
  *name = nullptr;
  return CSYS_OK;
}
csys_status noArgument() {
  return record(const_cast<char*>("noarg"));
}

template <typename F>
csys_cleanupFunc generic(F func) {
  return reinterpret_cast<csys_cleanupFunc>(reinterpret_cast<void (*)()>(func));
}

constexpr csys_status kFailed = CSYS_STATUS(0x80000777u);

// A frame of entries, oldest first with ids 0, 1, ..., written "<kind><run>:<name>": kind o(bj),
// v(ar), e(ntry), n(oarg), ? (two at once); run A(lways), F(ailure), S(uccess); "00" disarmed.
// Early releases "<id>+" run an entry, "<id>-" forget it. Then the frame closes.
struct FrameRow {
  const char* entries;
  const char* releases;
  csys_status status, closed;
  const char* calls;
  size_t asserts;
};

TEST(Cleanup, EntriesRunNewestFirstByOutcomeKindAndRelease) {
  const FrameRow rows[] = {
      {"oA:always oF:failure oS:success", "", CSYS_OK, CSYS_OK, "success always ", 0},
      {"oA:always oF:failure oS:success", "", CSYS_E_OUT_OF_MEMORY, CSYS_E_OUT_OF_MEMORY,
       "failure always ", 0},
      // A failing entry stops the older ones; a frame that failed keeps its own failure.
      {"oA:a oA:!b oA:c", "", CSYS_OK, kFailed, "c !b ", 0},
      {"oA:a oA:!b", "", CSYS_E_INVALID_ARGUMENT, CSYS_E_INVALID_ARGUMENT, "!b ", 0},
      {"", "", CSYS_STATUS(5), CSYS_OK, "", 0},  // success codes do not survive
      {"vA:var eA:entry nA:noarg 00:disarmed", "", CSYS_OK, CSYS_OK, "noarg entry var ", 0},
      {"?A:unknown", "", CSYS_OK, CSYS_OK, "", 1},
      {"oA:a oA:b oA:c", "1+", CSYS_OK, CSYS_OK, "b c a ", 0},
      {"oA:a oA:b", "1- 42+", CSYS_OK, CSYS_OK, "a ", 1},  // 42 is not in the frame
      {"oF:a oA:!b", "1+", CSYS_OK, kFailed, "!b a ", 0},
  };
  const std::map<char, uint32_t> kinds = {{'o', CSYS_CLEANUP_CALL_OBJ},
                                          {'v', CSYS_CLEANUP_CALL_VAR},
                                          {'e', CSYS_CLEANUP_CALL_ENTRY},
                                          {'n', CSYS_CLEANUP_CALL_NOARG},
                                          {'0', 0},
                                          {'?', 0x3u},
                                          {'A', CSYS_CLEANUP_RUN_ALWAYS},
                                          {'F', CSYS_CLEANUP_RUN_ON_FAILURE},
                                          {'S', CSYS_CLEANUP_RUN_ON_SUCCESS}};
  for (const FrameRow& row : rows) {
    SCOPED_TRACE(row.entries);
    g_calls.clear();
    pmtsys_test::AssertCapture asserts;
    std::istringstream in(row.entries);
    std::string names[4];
    char* vars[4] = {};
    csys_cleanupEntry entries[4];
    int32_t count = 0;
    for (std::string token; in >> token; ++count) {
      names[count] = token.substr(3);
      vars[count] = names[count].data();
      const uint32_t flags = kinds.at(token[0]) | kinds.at(token[1]);
      const bool byAddress = token[0] == 'v' || token[0] == 'e';
      entries[count] = {static_cast<uint32_t>(count), flags,
                        token[0] == 'v' ? static_cast<void*>(&vars[count]) : vars[count],
                        byAddress         ? generic(recordAndClear)
                        : token[0] == 'n' ? generic(noArgument)
                                          : generic(record)};
    }
    const int32_t made = count;
    csys_status status = row.status;
    std::istringstream releases(row.releases);
    for (std::string token; releases >> token;) {
      csys_cleanup_doId_(entries, &count, &status, static_cast<uint32_t>(std::stoul(token)),
                         token.back() == '+');
    }
    for (int32_t i = count; i < made; ++i) {
      EXPECT_EQ(entries[i].id, 0xFFFFFFFFu);  // emptied behind the frame's end
      EXPECT_EQ(entries[i].flags, 0u);
    }
    csys_cleanupExecute_(entries, &count, &status, csys_cleanup_getNextTag());
    EXPECT_EQ(count, -1);
    EXPECT_EQ(status, row.closed);
    EXPECT_EQ(g_calls, row.calls);
    EXPECT_EQ(asserts.count(), row.asserts);
    EXPECT_TRUE(*row.entries != 'v' || vars[0] == nullptr);  // the variable cleared
  }
}

TEST(Cleanup, LeakedTagsAreListedAsRangesAndConcurrentFramesLeaveNone) {
  const auto report = [] { return pmtsys_test::printedLeakReport(csys_cleanupReportLeaks); };
  EXPECT_EQ(report(), pmtsys_test::LeakReport(0, ""));  // no frame yet
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 500; ++i) csys_cleanup_logExecute(csys_cleanup_getNextTag());
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(report(), pmtsys_test::LeakReport(0, ""));
  const int32_t base = csys_cleanup_getNextTag();  // never logged: a leak
  const int32_t t1 = csys_cleanup_getNextTag();
  const int32_t t2 = csys_cleanup_getNextTag();  // t2 to t4 leaked
  const int32_t t3 = csys_cleanup_getNextTag();
  const int32_t t4 = csys_cleanup_getNextTag();
  for (const int32_t tag : {csys_cleanup_getNextTag(), t1, int32_t{CSYS_CLEANUP_UNTRACKED_TAG}}) {
    ASSERT_EQ(csys_cleanup_logExecute(tag), CSYS_OK);
  }
  EXPECT_EQ(report(), pmtsys_test::LeakReport(4, "Detected cleanup leaks!\nDumping tags ->\n{C" +
                                                     std::to_string(base) + ", C" +
                                                     std::to_string(t2) + "-" + std::to_string(t4) +
                                                     "}\n Data: End of cleanup leaks\n"));
  // Logging the gap merges the neighbours on both sides.
  for (const int32_t tag : {t3, t2, t4, base}) ASSERT_EQ(csys_cleanup_logExecute(tag), CSYS_OK);
  EXPECT_EQ(report(), pmtsys_test::LeakReport(0, ""));
}

}  // namespace
