// Hold counts kept beside the tracking table: the report keeps the table's order and counts, and
// locks passed between threads (one in a hold slot, one whose id shares it) balance.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <future>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "csys_sync.h"
#include "support/report_capture.h"

namespace {

using Line = std::tuple<int, int, int>;  // object (0 the critical section, 1 the mutex), action, n

// The printed report's lines about the two objects, in report order.
std::vector<Line> reported(const csys_criticalSection& cs, const csys_mutex& m) {
  std::istringstream text(pmtsys_test::printedLeakReport(csys_resourceReportLeaks).second);
  std::vector<Line> lines;
  int id = 0, action = 0, count = 0;
  for (std::string line; std::getline(text, line);) {
    if (std::sscanf(line.c_str(), "  {ResourceID %d Name: %*s ActionType: %d  Count: %d}", &id,
                    &action, &count) == 3 &&
        (id == cs.resourceId.id || id == m.resourceId.id)) {
      lines.emplace_back(id == m.resourceId.id, action, count);
    }
  }
  return lines;
}

struct Row {
  const char* name;
  int32_t trackConstruction;
  std::function<void(csys_criticalSection*, csys_mutex*)> run;
  std::vector<Line> expected;
};

TEST(TrackingCounts, ReportKeepsTheOrderAndCountsOfTheTable) {
  csys_mutex* global = nullptr;
  ASSERT_EQ(csys_mutex_getGlobal(&global), CSYS_OK);  // starts tracking
  const auto wait = [](auto* cs, auto* m) {
    csys_criticalSection_wait(cs, nullptr);
    csys_mutex_wait(m, nullptr);
  };
  const auto stranger = [](csys_mutex* m) {
    return std::async(std::launch::async, [m] { return csys_mutex_unlock(m); }).get();
  };
  const std::vector<Row> rows = {
      {"held", 1, wait, {{0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 1}}},
      {"constructed untracked, destroyed held",
       0,
       [&](auto* cs, auto* m) {
         wait(cs, m);
         csys_criticalSection_destruct(cs);
         csys_mutex_destruct(m);
       },
       {{0, 1, 1}, {0, 0, -1}, {1, 1, 1}, {1, 0, -1}, {1, 2, 1}}},
      {"released twice; a caller's count first",
       1,
       [&](auto* cs, auto* m) {
         csys_resourceId_logAction(&m->resourceId, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, 1);
         wait(cs, m);
         csys_criticalSection_release(cs);
         csys_criticalSection_release(cs);
         csys_mutex_unlock(m);
       },
       {{0, 0, 1}, {0, 1, -1}, {1, 0, 1}, {1, 1, 1}}},
      {"released untracked; unlocked by a stranger",
       1,
       [&](auto* cs, auto* m) {
         wait(cs, m);
         csys_resourceSetLeakTrackingEnabled(0);
         csys_criticalSection_release(cs);
         csys_resourceSetLeakTrackingEnabled(1);
         csys_mutex_unlock(m);
         EXPECT_EQ(stranger(m), CSYS_E_OS);  // the mutex is free
         csys_mutex_wait(m, nullptr);
         EXPECT_EQ(stranger(m), CSYS_E_OS);  // this thread holds it
       },
       {{0, 0, 1}, {0, 1, 1}, {1, 0, 1}, {1, 1, 1}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    csys_resourceSetLeakTrackingEnabled(row.trackConstruction);
    csys_criticalSection cs{};
    csys_mutex m{};
    ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
    ASSERT_EQ(csys_mutex_construct(&m, 0, nullptr), CSYS_OK);
    csys_resourceSetLeakTrackingEnabled(1);
    row.run(&cs, &m);
    EXPECT_EQ(reported(cs, m), row.expected);
    csys_criticalSection_destruct(&cs);
    csys_mutex_destruct(&m);
  }
}

// Four threads pass a mutex and two critical sections 1024 ids apart (one hold slot for both)
// between them, recursively.
TEST(TrackingCounts, LocksPassedBetweenThreadsBalance) {
  csys_mutex* global = nullptr;
  ASSERT_EQ(csys_mutex_getGlobal(&global), CSYS_OK);
  std::vector<csys_criticalSection> cs(1025);
  csys_mutex m{};
  for (auto& c : cs) ASSERT_EQ(csys_criticalSection_construct(&c), CSYS_OK);
  ASSERT_EQ(csys_mutex_construct(&m, 0, nullptr), CSYS_OK);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 1000; ++round) {
        for (auto* c : {&cs.back(), &cs.front(), &cs.back()}) csys_criticalSection_wait(c, nullptr);
        for (int k = 0; k < 2; ++k) csys_mutex_wait(&m, nullptr);
        for (int k = 0; k < 2; ++k) csys_mutex_unlock(&m);
        for (auto* c : {&cs.back(), &cs.front(), &cs.back()}) csys_criticalSection_release(c);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(reported(cs.front(), m), (std::vector<Line>{{0, 0, 1}, {1, 0, 1}}));
  EXPECT_EQ(reported(cs.back(), m), (std::vector<Line>{{0, 0, 1}, {1, 0, 1}}));
  for (auto& c : cs) csys_criticalSection_destruct(&c);
  csys_mutex_destruct(&m);
}

}  // namespace
