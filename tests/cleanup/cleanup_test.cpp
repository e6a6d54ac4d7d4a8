// Cleanup frames: entries run by outcome, kind and release, in order; tags and their leak report.
// Resource tracking: sums per (id, action), the exact report and its order, disabling.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cleanup/resource_tracking_internal.h"
#include "csys_cleanup.h"
#include "csys_print.h"
#include "csys_resource.h"
#include "csys_sync.h"
#include "support/objects.h"
#include "support/report_capture.h"

namespace {

std::string g_calls;  // names of the entries run, each followed by a blank
constexpr csys_status kFailed = CSYS_STATUS(0x80000777u);

// Kind OBJ gets the name; ENTRY and VAR get the address of a name, which they clear.
csys_status record(void* name) {
  g_calls += static_cast<const char*>(name) + std::string(" ");
  return *static_cast<const char*>(name) == '!' ? kFailed : CSYS_OK;
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

// A frame of entries, oldest first with ids 0, 1, ..., written "<kind><run>:<name>": kind o(bj),
// v(ar), e(ntry), n(oarg), ? (two at once); run A(lways), F(ailure), S(uccess); "00" disarmed.
// Early releases "<id>+" run an entry, "<id>-" forget it. Then the frame, in a status, closes:
// its status then, the calls made, the assertion reports.
using FrameRow =
    std::tuple<const char*, const char*, csys_status, csys_status, const char*, size_t>;

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
  // A letter's position is its flag: the call kinds (? is two at once), the runs in 0x10s.
  const std::string kinds = "0vo?e...n", runs = "0SFA";
  for (const auto& [script, releases, start, closed, calls, reports] : rows) {
    SCOPED_TRACE(script);
    g_calls.clear();
    pmtsys_test::AssertCapture asserts;
    std::istringstream in(script);
    std::string names[4];
    char* vars[4] = {};
    csys_cleanupEntry entries[4];
    int32_t count = 0;
    for (std::string token; in >> token; ++count) {
      names[count] = token.substr(3);
      vars[count] = names[count].data();
      const auto kind = static_cast<uint32_t>(kinds.find(token[0]));
      const bool byAddress = kind == CSYS_CLEANUP_CALL_VAR || kind == CSYS_CLEANUP_CALL_ENTRY;
      entries[count] = {
          static_cast<uint32_t>(count), kind | uint32_t(runs.find(token[1]) << 4),
          kind == CSYS_CLEANUP_CALL_VAR ? static_cast<void*>(&vars[count]) : vars[count],
          byAddress                         ? generic(recordAndClear)
          : kind == CSYS_CLEANUP_CALL_NOARG ? generic(noArgument)
                                            : generic(record)};
    }
    const int32_t made = count;
    csys_status status = start;
    std::istringstream early(releases);
    for (std::string token; early >> token;) {
      csys_cleanup_doId_(entries, &count, &status, static_cast<uint32_t>(std::stoul(token)),
                         token.back() == '+');
    }
    for (int32_t i = count; i < made; ++i) {  // emptied behind the frame's end
      EXPECT_EQ(std::make_pair(entries[i].id, entries[i].flags), std::make_pair(0xFFFFFFFFu, 0u));
    }
    csys_cleanupExecute_(entries, &count, &status, csys_cleanup_getNextTag());
    EXPECT_EQ(std::make_tuple(count, status, g_calls, asserts.count()),
              std::make_tuple(-1, closed, std::string(calls), reports));
    EXPECT_TRUE(*script != 'v' || vars[0] == nullptr);  // the variable cleared
  }
}

TEST(Cleanup, LeakedTagsAreListedAsRanges) {
  const auto report = [] { return pmtsys_test::printedLeakReport(csys_cleanupReportLeaks); };
  EXPECT_EQ(report(), pmtsys_test::LeakReport(0, ""));  // no frame yet
  int32_t t[6];                                         // 0 and 2 to 4 stay open
  for (int32_t& tag : t) tag = csys_cleanup_getNextTag();
  for (const int32_t tag : {t[5], t[1], int32_t{CSYS_CLEANUP_UNTRACKED_TAG}}) {
    ASSERT_EQ(csys_cleanup_logExecute(tag), CSYS_OK);
  }
  EXPECT_EQ(report(), pmtsys_test::LeakReport(
                          4, "Detected cleanup leaks!\nDumping tags ->\n{C" + std::to_string(t[0]) +
                                 ", C" + std::to_string(t[2]) + "-" + std::to_string(t[4]) +
                                 "}\n Data: End of cleanup leaks\n"));
  // Logging the gap merges the neighbours on both sides.
  for (const int32_t tag : {t[3], t[2], t[4], t[0]})
    ASSERT_EQ(csys_cleanup_logExecute(tag), CSYS_OK);
  EXPECT_EQ(report(), pmtsys_test::LeakReport(0, ""));
}

constexpr uint32_t kConstruct = CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT;
constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;

const char* const kHeader =
    "Detected resource leaks/errors!\n  ActionTypes: 0=constructOrDestruct\n               "
    "1=waitOrRelease\n               2=destructWhileLocked\nDumping IDs ->\n";

std::string line(int32_t id, const char* name, int action, int count) {
  return "  {ResourceID " + std::to_string(id) + " Name: " + name +
         " ActionType: " + std::to_string(action) + "  Count: " + std::to_string(count) + "}\n";
}

using Action = std::tuple<csys_resourceId, uint32_t, int32_t>;

TEST(ResourceTracking, ReportListsUnbalancedSumsByIdExactly) {
  ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK);
  // Ids 257 and 1 share a bucket; the report orders by id, not by insertion. An odd number of
  // lines ends with an empty one.
  const std::vector<Action> mixed = {{{257, "high"}, kWait, 1},
                                     {{2, "middle"}, kWait, -1},
                                     {{1, nullptr}, kConstruct, 1},
                                     {{1, nullptr}, kWait, 3}};
  std::vector<Action> removed = mixed;  // a record taken from the middle of its bucket
  removed.push_back({{1, nullptr}, kConstruct, -1});
  const std::tuple<std::vector<Action>, int32_t, std::string> rows[] = {
      {mixed, 4,
       kHeader + line(1, "none", 0, 1) + line(1, "none", 1, 3) + line(2, "middle", 1, -1) +
           line(257, "high", 1, 1)},
      {removed, 3,
       kHeader + line(1, "none", 1, 3) + line(2, "middle", 1, -1) + line(257, "high", 1, 1) + "\n"},
      {{{{7, "x"}, kWait, 2}, {{7, "x"}, kWait, -2}}, 0, ""},
  };
  for (const auto& [actions, leaks, text] : rows) {
    for (const auto& [rid, action, delta] : actions) {
      ASSERT_EQ(csys_resourceId_logAction(&rid, action, delta), CSYS_OK);
    }
    EXPECT_EQ(pmtsys_test::printedLeakReport(csys_resourceReportLeaks),
              pmtsys_test::LeakReport(leaks, text));
    for (const auto& [rid, action, delta] : actions)
      csys_resourceId_logAction(&rid, action, -delta);
    EXPECT_EQ(pmtsys_test::leakRecords(), 0);
  }
}

csys_criticalSection* g_hookLock = nullptr;
int hookPrint(FILE*, const char*, va_list) {
  return csys_criticalSection_protect(
      g_hookLock, [](void*) { return CSYS_OK; }, nullptr);
}

TEST(ResourceTracking, IdsWithoutTrackingThenCountsUnlessDisabled) {
  csys_resourceId ids[2]{};  // before tracking is set up: ids are issued, nothing is kept
  pmtsys_test::AssertCapture asserts;
  int32_t leaks = -1, valid = -1;
  for (const csys_status status :
       {csys_resourceId_init(&ids[0], "a"), csys_resourceId_init(&ids[1], "b"),
        csys_resourceId_logAction(&ids[0], kWait, 1),
        csys_resourceReportLeaks(1, &leaks, &valid)}) {
    EXPECT_EQ(status, CSYS_OK);
  }
  EXPECT_EQ(std::make_tuple(ids[1].id, pmtsys_test::trackedCount(ids[0], kWait), valid),
            std::make_tuple(ids[0].id + 1, 0, 0));
  EXPECT_EQ(csys_resourceId_init(nullptr, "x"), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(asserts.count(), 1u);
  ASSERT_EQ(csys_resourceTracking_init(), CSYS_OK);
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  csys_criticalSection_wait(&cs, nullptr);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_release(&cs);                              // unseen: the hold stays
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 0);  // disabled: reads nothing
  csys_resourceSetLeakTrackingEnabled(1);
  EXPECT_EQ(pmtsys_test::trackedCount(cs.resourceId, kWait), 1);
  // A print hook may use the library's locks, even the listed one's, while the report lists.
  g_hookLock = &cs;
  const csys_printfAHooks hooks{nullptr, hookPrint};
  csys_printfASetHooks(&hooks);
  EXPECT_EQ(csys_resourceReportLeaks(1, &leaks, &valid), CSYS_OK);
  csys_printfASetHooks(nullptr);
  EXPECT_EQ(leaks, 2);
  EXPECT_EQ(csys_criticalSection_destruct(&cs), CSYS_OK);
}

}  // namespace
