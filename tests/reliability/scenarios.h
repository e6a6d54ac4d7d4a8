// Short scenarios that use every exported entry point: construct, use and take down again. The
// sweeps run each under injected failures; a scenario returns the first failure it met and,
// whatever failed, leaves nothing acquired.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "csys_status.h"

namespace pmtsys_test {

// PMT(csys_mutex_wait)(&m, nullptr) records the name and calls it; the coverage test compares
// the names recorded with the exported interface.
void noteCall(const char* name);
#define PMT(name) (::pmtsys_test::noteCall(#name), name)
std::set<std::string> calledNames();

struct Scenario {
  const char* name;
  csys_status (*run)();
  bool osFaults;  // its OS objects and locks are its work: swept with OS failures, tracking full
  bool asserts = false;  // may report assertions (each scenario says why)
  // Failures it passes up besides the injected ones, each with its reason at the scenario.
  std::vector<csys_status> passesUp = {};
};
const std::vector<Scenario>& scenarios();

// The names of named objects the current run made.
std::vector<std::string>& runNames();

// Shutdown ends the library for the process: it runs on its own, last.
csys_status shutdownScenario();

}  // namespace pmtsys_test
