#include "support/platform.h"

#include <algorithm>

namespace pmtsys_test {

double stressFactor() {
#if defined(_WIN32)
  return 0.05;
#else
  return 1.0;
#endif
}

int stressIterations(int iterations) {
  return std::max(1, static_cast<int>(iterations * stressFactor()));
}

}  // namespace pmtsys_test
