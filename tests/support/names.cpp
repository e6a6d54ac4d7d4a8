#include "support/names.h"

#include <atomic>
#include <chrono>
#include <random>

namespace pmtsys_test {

std::string uniqueName(const std::string& prefix) {
  static const unsigned long long processTag =
      std::random_device{}() ^
      static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
  static std::atomic<int> serial{0};
  return prefix + "." + std::to_string(processTag) + "." + std::to_string(serial++);
}

}  // namespace pmtsys_test
