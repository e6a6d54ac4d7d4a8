// Names for named kernel objects that no other test process uses at the same time.
#pragma once

#include <atomic>
#include <chrono>
#include <random>
#include <string>

namespace pmtsys_test {

inline std::string uniqueName(const std::string& prefix) {
  static const unsigned long long processTag =
      std::random_device{}() ^
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  static std::atomic<int> serial{0};
  return prefix + "." + std::to_string(processTag) + "." + std::to_string(serial++);
}

}  // namespace pmtsys_test
