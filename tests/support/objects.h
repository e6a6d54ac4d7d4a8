// Tests of OS objects: names no other test process uses at the same time, loops sized for what a
// call costs, and leak tracking's records.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "csys_resource.h"

namespace pmtsys_test {

inline std::string uniqueName(const std::string& prefix) {
  static const unsigned long long processTag =
      std::random_device{}() ^
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  static std::atomic<int> serial{0};
  return prefix + "." + std::to_string(processTag) + "." + std::to_string(serial++);
}

// `iterations` on Linux; on Windows, where each call is a system call (under Wine a server round
// trip of about 85 us), a twentieth of them, never below 1.
inline int stressIterations(int iterations) {
#if defined(_WIN32)
  return std::max(1, iterations / 20);
#else
  return iterations;
#endif
}

// Runs `body(0)` ... `body(count - 1)` in threads released at once.
template <class Body>
void race(int count, Body body) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load()) std::this_thread::yield();
      body(t);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
}

// The outstanding sum of one action of one object (-99 if the query fails).
inline int32_t trackedCount(const csys_resourceId& rid, uint32_t action) {
  int32_t value = -99;
  return CSYS_FAILED(csys_resourceId_getCount(&rid, action, &value)) ? -99 : value;
}

// Calls made in order and all succeeded: a braced list is evaluated left to right, unlike the
// operands of |.
inline bool allOk(std::initializer_list<csys_status> steps) {
  return std::all_of(steps.begin(), steps.end(), [](csys_status s) { return s == CSYS_OK; });
}

// The number of outstanding sums, without printing them.
inline int32_t leakRecords() {
  int32_t leaks = -1, valid = 0;
  csys_resourceReportLeaks(0, &leaks, &valid);
  return leaks;
}

}  // namespace pmtsys_test
