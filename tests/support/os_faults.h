// Observing and failing the OS layer's system calls the same way on every platform. Each backend
// routes its calls through a table of its own; these helpers replace entries of whichever
// backend is built, until restoreOsCalls().
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace pmtsys_test {

// What the OS was asked to sleep, in milliseconds (rounded), and how often the thread gave up its
// time slice instead (a zero sleep does that).
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

// Failing the backend's calls one at a time. Each call that can fail has a name and the failure
// the system reports for it (resources exhausted, an I/O error, a refused clock).
size_t failableOsCallCount();
const char* failableOsCallName(size_t call);
// From now on `call` fails on its `nth` use and, when `persistent`, on every later one. Locks the
// backend takes and gives back are counted from here on as well.
void failOsCall(size_t call, int nth, bool persistent);
void failOsCall(std::string_view name, int nth, bool persistent);
// From now on only counts the locks, as failOsCall does.
void countOsLocks();
// How many failures were injected since failOsCall.
int injectedOsFailures();
// Locks taken through the backend's table since failOsCall and not given back.
long heldOsLocks();

// Every call goes to the system again.
void restoreOsCalls();

}  // namespace pmtsys_test
