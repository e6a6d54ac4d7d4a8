// Every scenario runs with its 1st, 2nd, ... allocation failing, and with each OS call that can
// fail failing at its 1st, 2nd, ... use; once (transient) and from then on (persistent), until a
// run meets no failure. Each run must leave things as it found them (Snapshot::check).
// LeakSanitizer (the sanitizer leg) checks memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "attention/attention_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_resource.h"
#include "memory/allocation_internal.h"
#include "os/os.h"
#include "reliability/scenarios.h"
#include "support/os_faults.h"
#include "support/report_capture.h"
#include "support/tracking.h"
#if !defined(_WIN32)
#include "os/posix/kernel_objects_internal.h"
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using pmtsys_test::Scenario;

int32_t openFrames() {
  int32_t leaks = -1, valid = 0;
  csys_cleanupReportLeaks(0, &leaks, &valid);
  return leaks;
}

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

const pmtsys_test::AssertCapture* g_asserts = nullptr;

// What a run must leave as it found it. The library makes some objects on first use and keeps
// them for the process; until they exist (`settled`), the outstanding sums and the open OS
// objects and descriptors may change.
// Entries on the calling thread's attention list: its record outlives every run, so what a run
// leaves there shows up as neither a leak nor an open object.
int attentionEntries() {
  csys_threadRecord* record = nullptr;
  int entries = 0;
  if (CSYS_FAILED(csys_thread_getCurrentRecord(&record)) || record == nullptr) return 0;
  csys_attention_withList(record, [&](csys_attentionEntry* list) {
    for (const csys_attentionEntry* e = list->next; e != nullptr; e = e->next) ++entries;
    return CSYS_OK;
  });
  return entries;
}

struct Snapshot {
  int attention = attentionEntries();
  size_t asserts = g_asserts->count();
  int32_t frames = openFrames();
  int32_t sums = pmtsys_test::leakRecords();
  size_t handles = os_openHandleCount();
#if !defined(_WIN32)
  long descriptors = openDescriptors();
#endif
  // `injected`: the failure the run may pass up, CSYS_OK when it met none.
  void check(const Scenario& scenario, csys_status status, csys_status injected,
             bool settled) const {
    const auto& allowed = scenario.passesUp;
    const bool failed = CSYS_FAILED(injected);
    EXPECT_TRUE(status == CSYS_OK || (failed && status == injected) ||
                (failed && std::find(allowed.begin(), allowed.end(), status) != allowed.end()))
        << std::hex << status;
    // A library thread lets go of its last lock just after its end is signalled: a lock that is
    // not given back soon is held.
    for (int i = 0; i < 1000 && pmtsys_test::heldOsLocks() != 0; ++i) os_sleep(1);
    EXPECT_EQ(pmtsys_test::heldOsLocks(), 0);
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);  // a block lost by this run
#endif
    const Snapshot after;
    // Every frame the library opens closes: its destructor reports one that did not.
    if (!scenario.asserts) {
      EXPECT_EQ(after.asserts, asserts)
          << g_asserts->reports().back().location << ":" << g_asserts->reports().back().line;
    }
    // A frame closed while memory runs out may not get its close recorded (the record may
    // need to grow) and then stays listed as open.
    EXPECT_TRUE(status == CSYS_OK ? after.frames == frames : after.frames >= frames)
        << after.frames << " frames open, " << frames << " before";
    EXPECT_EQ(after.attention, attention);
    if (settled) {
      EXPECT_EQ(after.sums, sums)
          << pmtsys_test::printedLeakReport(csys_resourceReportLeaks).second;
      EXPECT_EQ(after.handles, handles);
#if !defined(_WIN32)
      EXPECT_EQ(after.descriptors, descriptors);
      for (const std::string& name : pmtsys_test::runNames()) EXPECT_TRUE(nameIsFree(name)) << name;
#endif
    }
  }
};

void settle() {
  static const pmtsys_test::AssertCapture asserts;
  g_asserts = &asserts;
  csys_cleanupSetReportLeaksAtShutdown(0);
  csys_resourceSetReportLeaksAtShutdown(0);
  pmtsys_test::runNames().clear();
}

// Leak tracking keeps its records in 256 buckets that grow as needed. Filling every bucket up
// (with records far above the ids objects draw) makes each new record of a run an allocation
// that can fail.
std::vector<csys_resourceId> g_fillers;
void starveTracking() {
  constexpr int32_t kBuckets = 256, kFillerIds = kBuckets * 4096;
  csys_memory_setOutOfMemoryOnce(false);
  for (int32_t bucket = 0; bucket < kBuckets; ++bucket) {
    for (csys_status status = CSYS_OK; CSYS_SUCCEEDED(status);) {
      const auto serial = static_cast<int32_t>(g_fillers.size());
      const csys_resourceId filler{kFillerIds + bucket + kBuckets * serial, "filler"};
      csys_memory_allocCountReset();
      csys_memory_allocCountSetOutOfMemory(1);
      status = csys_resourceId_logAction(&filler, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, 1);
      csys_memory_allocCountSetOutOfMemory(0);
      if (CSYS_SUCCEEDED(status)) g_fillers.push_back(filler);
    }
  }
}

// What fails: the nth allocation (with leak tracking full, if `starved`) or the nth use of an OS
// call; once or from then on.
constexpr size_t kAllocation = ~size_t{0};
struct Fault {
  bool persistent;
  size_t osCall = kAllocation;
  bool starved = false;
};

// Runs the scenario with its 1st, 2nd, ... point failing until a run meets none, and checks every
// run. A run that met an OS failure may pass up any failure (it has many faces). Returns the
// points.
int sweepPoints(const Scenario& scenario, const Fault& fault, bool settled) {
  const bool allocation = fault.osCall == kAllocation;
  for (uint32_t n = 1; n < 1000; ++n) {
    SCOPED_TRACE(testing::Message() << "failure point " << n);
    pmtsys_test::runNames().clear();
    if (fault.starved) starveTracking();
    csys_memory_setOutOfMemoryOnce(!fault.persistent);
    pmtsys_test::countOsLocks();
    const Snapshot before;
    if (allocation) {
      csys_memory_allocCountReset();
      csys_memory_allocCountSetOutOfMemory(n);
    } else {
      pmtsys_test::failOsCall(fault.osCall, static_cast<int>(n), fault.persistent);
    }
    const csys_status status = scenario.run();
    uint32_t used = 0;
    csys_memory_allocCountSetOutOfMemory(0);
    csys_memory_allocCountGet(&used);
    const bool injected = allocation ? used >= n : pmtsys_test::injectedOsFailures() > 0;
    pmtsys_test::restoreOsCalls();
    csys_memory_setOutOfMemoryOnce(false);
    before.check(scenario, status,
                 !injected    ? CSYS_OK
                 : allocation ? CSYS_E_OUT_OF_MEMORY
                              : status,
                 settled);
    if (!injected || testing::Test::HasFailure()) return static_cast<int>(n) - 1;
  }
  ADD_FAILURE() << "no run met no failure";
  return 0;
}

class Sweep : public testing::TestWithParam<size_t> {
 protected:
  const Scenario& scenario() const { return pmtsys_test::scenarios()[GetParam()]; }
};

TEST_P(Sweep, AllocationFailures) {
  settle();
  // The first pass lets the library's own objects come about under the failures; the last two
  // find leak tracking with no room to spare (scenarios of OS objects and locks).
  for (const int pass : {0, 1, 2, 3, 4}) {
    const Fault fault{pass % 2 == 0, kAllocation, pass > 2};
    if (fault.starved && !scenario().osFaults) break;
    const int points = sweepPoints(scenario(), fault, pass > 0);
    std::printf("%s, %s%s: %d allocation points\n", scenario().name,
                pass == 0          ? "first use"
                : fault.persistent ? "persistent"
                                   : "transient",
                fault.starved ? ", tracking full" : "", points);
    if (HasFailure()) break;
  }
  for (const auto& filler : g_fillers) {
    csys_resourceId_logAction(&filler, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, -1);
  }
}

TEST_P(Sweep, OsCallFailures) {
  if (!scenario().osFaults) GTEST_SKIP() << "no OS work of its own";
  settle();
  ASSERT_EQ(scenario().run(), CSYS_OK);  // the library's own objects exist from here on
  int runs = 0;
  for (size_t call = 0; call < pmtsys_test::failableOsCallCount() && !HasFailure(); ++call) {
    for (const bool persistent : {false, true}) {
      SCOPED_TRACE(testing::Message() << pmtsys_test::failableOsCallName(call)
                                      << (persistent ? " fails from a use on" : " fails once"));
      runs += 1 + sweepPoints(scenario(), {persistent, call}, true);
    }
  }
  std::printf("%s: %zu calls, %d runs\n", scenario().name, pmtsys_test::failableOsCallCount(),
              runs);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Sweep,
                         testing::Range<size_t>(0, pmtsys_test::scenarios().size()),
                         [](const testing::TestParamInfo<size_t>& param) {
                           std::string name = pmtsys_test::scenarios()[param.param].name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// Shutdown runs once per process: each run is a process of its own, after a warm-up that leaves
// the library with registrations and objects to take down. Exit codes: 0 a failure was injected
// and everything held, 2 the run met no failure, 1 something did not hold. A child process
// replays the test up to its own run, so results are checked only after the last.
TEST(SweepShutdown, AllocationFailures) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr uint32_t kRuns = 8;
  uint32_t clean[2] = {};  // the first run of each mode that met no failure
  for (const bool persistent : {false, true}) {
    for (uint32_t failAt = 1; failAt <= kRuns; ++failAt) {
      const auto run = [&] {
        settle();
        for (const Scenario& scenario : pmtsys_test::scenarios()) {
          if (scenario.osFaults && CSYS_FAILED(scenario.run())) std::exit(1);
        }
        csys_memory_setOutOfMemoryOnce(!persistent);
        csys_memory_allocCountReset();
        csys_memory_allocCountSetOutOfMemory(failAt);
        const csys_status status = pmtsys_test::shutdownScenario();
        uint32_t count = 0;
        csys_memory_allocCountGet(&count);
        const bool held =
            (status == CSYS_OK || status == CSYS_E_OUT_OF_MEMORY) && os_openHandleCount() == 0;
        std::exit(!held ? 1 : count < failAt ? 2 : 0);
      };
      const auto heldUp = [&](int exit) {
        if (clean[persistent] == 0 && testing::ExitedWithCode(2)(exit)) clean[persistent] = failAt;
        return testing::ExitedWithCode(0)(exit) || testing::ExitedWithCode(2)(exit);
      };
      EXPECT_EXIT(run(), heldUp, "") << "allocation " << failAt << (persistent ? " and after" : "");
    }
  }
  for (const bool persistent : {false, true}) {
    ASSERT_NE(clean[persistent], 0u) << "more than " << kRuns << " allocation points";
    std::printf("shutdown, %s: %u allocation points\n", persistent ? "persistent" : "transient",
                clean[persistent] - 1);
  }
}

// Every exported name is called by some scenario, and every name called is exported.
TEST(SweepCoverage, ScenariosCallEveryExportedName) {
  settle();
  for (const Scenario& scenario : pmtsys_test::scenarios()) {
    EXPECT_EQ(scenario.run(), CSYS_OK) << scenario.name;
  }
  // The harness's own controls, and shutdown, which SweepShutdown runs in processes of their own.
  PMT(csys_memory_allocCountReset)();
  PMT(csys_memory_allocCountSetOutOfMemory)(0);
  pmtsys_test::noteCall("csys_shutdown");
  std::set<std::string> exported;
  std::ifstream in(PMTSYS_EXPORTS_FILE);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') exported.insert(line);
  }
  ASSERT_GT(exported.size(), 300u);
  const std::set<std::string> called = pmtsys_test::calledNames();
  for (const std::string& name : exported) {
    EXPECT_TRUE(called.count(name)) << name << " is called by no scenario";
  }
  for (const std::string& name : called) {
    EXPECT_TRUE(exported.count(name)) << name << " is not exported";
  }
}

}  // namespace
