// Observing and failing the OS layer's system calls through the built backend's call table, the
// same way on every platform, until restoreOsCalls().
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace pmtsys_test {

// Sleeps asked of the OS in milliseconds (rounded), and time slices given up (a zero sleep).
struct OsSleeps {
  std::vector<long long> milliseconds;
  int yields = 0;
};
// From now on sleeps and yields return at once and are recorded in the returned object.
const OsSleeps& recordOsSleeps();

// The loader finds the module that contains an address but cannot give its path.
void failModulePathLookup();
// No module contains any address.
void failModuleLookup();

// The backend's failable calls, each with the failure the system reports for it.
size_t failableOsCallCount();
const char* failableOsCallName(size_t call);
// From now on `call` fails on its `nth` use and, when `persistent`, on every later one; the
// locks the backend takes and gives back are counted from here on too.
void failOsCall(size_t call, int nth, bool persistent);
void failOsCall(std::string_view name, int nth, bool persistent);
// Only counts the locks, as failOsCall does.
void countOsLocks();
// Failures injected, and locks taken and not given back, since failOsCall.
int injectedOsFailures();
long heldOsLocks();

// Every call goes to the system again.
void restoreOsCalls();

}  // namespace pmtsys_test
