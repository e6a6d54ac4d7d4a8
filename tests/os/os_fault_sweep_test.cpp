// Every OS call that can fail fails in turn under short scenarios of each family that uses the OS
// layer: at its 1st, 2nd, ... use, once (transient) and from then on (persistent), until a run
// meets no failure. After every run: a status came back (a failure only when one was injected),
// no handle is open, no lock is held, leak tracking has nothing outstanding, no cleanup frame is
// open; on Linux no descriptor is left open and every name is free again. LeakSanitizer (the
// sanitizer leg) checks memory.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "csys_assert.h"
#include "csys_atomic.h"
#include "csys_cleanup.h"
#include "csys_sync.h"
#include "diag/assert_internal.h"
#include "os/os.h"
#include "support/names.h"
#include "support/os_faults.h"
#include "support/pe_fixture.h"
#include "support/report_capture.h"
#include "support/tracking.h"
#if !defined(_WIN32)
#include "os/posix/kernel_objects_internal.h"
#endif

namespace {

std::vector<std::string> g_names;  // the names the current run used
std::string g_versionFile;

const char* newName(bool named) {
  if (!named) return nullptr;
  g_names.push_back(pmtsys_test::uniqueName("pmt-sweep"));
  return g_names.back().c_str();
}

// The first failure of a run; every step runs, so that what was built is taken down again.
csys_status first(std::initializer_list<csys_status> steps) {
  for (const csys_status status : steps) {
    if (CSYS_FAILED(status)) return status;
  }
  return CSYS_OK;
}

csys_status mutexes(bool named) {
  csys_mutex m{};
  csys_mutex opened{};
  const char* name = newName(named);
  const csys_status built = named ? csys_mutex_constructNamed(&m, name, 0, 1, nullptr)
                                  : csys_mutex_construct(&m, 1, nullptr);
  if (CSYS_FAILED(built)) return built;
  const csys_status status =
      first({named ? csys_mutex_constructNamedExists(&opened, name) : CSYS_OK,
             csys_mutex_waitTimeout(named ? &opened : &m, 10, nullptr), csys_mutex_unlock(&m),
             csys_mutex_unlock(&m)});
  return first({status, named ? csys_mutex_destruct(&opened) : CSYS_OK, csys_mutex_destruct(&m)});
}

csys_status semaphoresAndEvents(bool named) {
  csys_semaphore s{};
  csys_event e{};
  const csys_status built = named ? csys_semaphore_constructNamed(&s, newName(true), 0, 0, 2)
                                  : csys_semaphore_construct(&s, 0, 2);
  if (CSYS_FAILED(built)) return built;
  const csys_status event = named ? csys_event_constructNamed(&e, newName(true), 0, 0, 0)
                                  : csys_event_construct(&e, 0, 0);
  int32_t got = 0;
  const csys_status status = first(
      {event, csys_semaphore_release(&s), csys_semaphore_waitTimeout(&s, 10, &got),
       csys_semaphore_waitTimeout(&s, 1, &got), CSYS_FAILED(event) ? event : csys_event_set(&e),
       CSYS_FAILED(event) ? event : csys_event_waitTimeout(&e, 10, &got)});
  return first({status, CSYS_FAILED(event) ? CSYS_OK : csys_event_destruct(&e),
                csys_semaphore_destruct(&s)});
}

csys_status criticalSections() {
  csys_criticalSection cs[2] = {};
  const csys_status built = first(
      {csys_criticalSection_construct(&cs[0]), csys_criticalSection_constructSpin(&cs[1], 4)});
  csys_status status = built;
  for (csys_criticalSection& section : cs) {
    if (section.os == nullptr) continue;
    status =
        first({status, csys_criticalSection_wait(&section, nullptr),
               csys_criticalSection_release(&section), csys_criticalSection_destruct(&section)});
  }
  return status;
}

const struct {
  const char* name;
  csys_status (*run)();
} kScenarios[] = {
    {"unnamed mutex", [] { return mutexes(false); }},
    {"named mutex", [] { return mutexes(true); }},
    {"unnamed semaphore and event", [] { return semaphoresAndEvents(false); }},
    {"named semaphore and event", [] { return semaphoresAndEvents(true); }},
    {"critical sections", criticalSections},
    {"sleep", [] { return csys_sleep(0.002); }},
    // The report looks up the caller's module and the library's version file.
    {"module lookups", [] { return pmtsys_test::AssertCapture(), cstd_assert_(__LINE__); }},
    {"version resource",
     [] {
       cstd_versionInfo info{};
       return cstd_assert_readVersionResource(g_versionFile.c_str(), &info);
     }},
};

#if !defined(_WIN32)
long openDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return std::distance(begin(entries), end(entries));
}

// A name whose file outlived a failure (a process letting go cannot always tell whether it may
// remove it) is free all the same: the next creation makes a new object, and no file stays after.
bool nameIsFree(const std::string& name) {
  os_handle handle = os_createEvent(false, false, name.c_str());
  const bool created = handle != nullptr && os_getLastError() == OS_ERROR_SUCCESS;
  if (handle != nullptr) os_closeHandle(handle);
  std::string file;
  return created && os_posix::sharedMemoryName(name.c_str(), &file) &&
         !std::filesystem::exists("/dev/shm" + file);
}
#endif

TEST(OsFaultSweep, EveryFailableCallUnderEveryScenario) {
  const std::string dir = pmtsys_test::makeTempDir();
  g_versionFile = dir + "/version.dll";
  ASSERT_TRUE(pmtsys_test::writeFile(
      g_versionFile, pmtsys_test::buildPeWithResource(pmtsys_test::buildVersionResource(
                         {{1000, 0, 0, 0}, {{"ProductName", "P"}}}))));
  const int32_t frames = *_pm_numCleanup;
  int runs = 0, failures = 0;
  for (size_t call = 0; call < pmtsys_test::failableOsCallCount(); ++call) {
    for (const auto& scenario : kScenarios) {
      for (const bool persistent : {false, true}) {
        for (int nth = 1; nth < 100; ++nth) {
          SCOPED_TRACE(testing::Message()
                       << pmtsys_test::failableOsCallName(call) << " fails at use " << nth
                       << (persistent ? " and after" : "") << " in: " << scenario.name);
#if !defined(_WIN32)
          const long descriptors = openDescriptors();
#endif
          g_names.clear();
          pmtsys_test::failOsCall(call, nth, persistent);
          const csys_status status = scenario.run();
          const int injected = pmtsys_test::injectedOsFailures();
          const long locks = pmtsys_test::heldOsLocks();
          pmtsys_test::restoreOsCalls();
          ++runs;
          failures += injected;
          EXPECT_TRUE(status == CSYS_OK || (injected > 0 && CSYS_FAILED(status))) << status;
          EXPECT_EQ(locks, 0);
          EXPECT_EQ(os_openHandleCount(), 0u);
          EXPECT_EQ(pmtsys_test::leakRecords(), 0);
          EXPECT_EQ(*_pm_numCleanup, frames);
#if !defined(_WIN32)
          EXPECT_EQ(openDescriptors(), descriptors);
          for (const std::string& name : g_names) EXPECT_TRUE(nameIsFree(name)) << name;
#endif
          if (testing::Test::HasFailure()) return;
          if (injected == 0) break;
        }
      }
    }
  }
  std::printf("%zu calls, %zu scenarios: %d runs, %d failures injected\n",
              pmtsys_test::failableOsCallCount(), std::size(kScenarios), runs, failures);
  std::filesystem::remove_all(dir);
}

}  // namespace
