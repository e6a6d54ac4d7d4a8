// What the platform under test makes affordable. Kernel-object calls cost tens of nanoseconds
// in the Linux layer but are system calls on Windows (under Wine, a round trip to the server
// of about 85 microseconds), so loops over kernel objects scale their iteration counts.
#pragma once

namespace pmtsys_test {

// 1 on Linux; 0.05 on Windows.
double stressFactor();

// `iterations` scaled by stressFactor(), never below 1.
int stressIterations(int iterations);

}  // namespace pmtsys_test
