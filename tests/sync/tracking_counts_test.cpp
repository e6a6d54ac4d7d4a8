// Hold counts kept beside the tracking table, as the leak report shows them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

#include "csys_sync.h"
#include "support/report_capture.h"

namespace {

using Line = std::vector<int>;  // object (index in `ids`), action, count

std::vector<Line> reported(const std::vector<int32_t>& ids) {
  std::istringstream text(pmtsys_test::printedLeakReport(csys_resourceReportLeaks).second);
  std::vector<Line> lines;
  int id = 0, action = 0, n = 0;
  for (std::string s; std::getline(text, s);) {
    const char* format = "  {ResourceID %d Name: %*s ActionType: %d  Count: %d}";
    if (std::sscanf(s.c_str(), format, &id, &action, &n) != 3) continue;
    const auto at = std::find(ids.begin(), ids.end(), id);
    if (at != ids.end()) lines.push_back({static_cast<int>(at - ids.begin()), action, n});
  }
  return lines;
}

// Constructed untracked: destructions come after the holds. cs[1024] shares cs[0]'s hold slot.
TEST(TrackingCounts, ReportKeepsTheTableOrderAndCountsBalance) {
  ASSERT_EQ(csys_mutex_protectGlobal([](void*) { return CSYS_OK; }, nullptr), CSYS_OK);
  std::vector<csys_criticalSection> cs(1025);
  csys_mutex m{};
  csys_resourceSetLeakTrackingEnabled(0);
  for (auto& c : cs) ASSERT_EQ(csys_criticalSection_construct(&c), CSYS_OK);
  ASSERT_EQ(csys_mutex_construct(&m, 0, nullptr), CSYS_OK);
  csys_resourceSetLeakTrackingEnabled(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 1000; ++round) {
        for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_wait(c, nullptr);
        for (int k = 0; k < 4; ++k) (k < 2 ? csys_mutex_wait(&m, nullptr) : csys_mutex_unlock(&m));
        for (auto* c : {&cs[0], &cs[1024], &cs[0]}) csys_criticalSection_release(c);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto stranger = [&m] {
    return std::async(std::launch::async, [&m] { return csys_mutex_unlock(&m); }).get();
  };
  csys_criticalSection_wait(&cs[0], nullptr);
  csys_resourceSetLeakTrackingEnabled(0);
  csys_criticalSection_release(&cs[0]);  // uncounted: the hold stays
  csys_resourceSetLeakTrackingEnabled(1);
  EXPECT_EQ(stranger(), CSYS_E_OS);  // free
  csys_mutex_wait(&m, nullptr);
  EXPECT_EQ(stranger(), CSYS_E_OS);  // held by this thread
  for (auto& c : cs) csys_criticalSection_destruct(&c);
  csys_mutex_destruct(&m);
  EXPECT_EQ(
      reported({cs[0].resourceId.id, cs[1024].resourceId.id, m.resourceId.id}),
      (std::vector<Line>{{0, 1, 1}, {0, 0, -1}, {1, 0, -1}, {2, 1, 1}, {2, 0, -1}, {2, 2, 1}}));
}

}  // namespace
