// Kernel-object calls cost tens of nanoseconds in the Linux layer but are system calls on Windows
// (under Wine, a server round trip of about 85 us): loops over them scale their iterations.
#pragma once

#include <algorithm>

namespace pmtsys_test {

// `iterations` on Linux; a twentieth of them on Windows, never below 1.
inline int stressIterations(int iterations) {
#if defined(_WIN32)
  return std::max(1, iterations / 20);
#else
  return iterations;
#endif
}

}  // namespace pmtsys_test
