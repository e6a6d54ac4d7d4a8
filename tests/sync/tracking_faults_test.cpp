// Leak tracking that cannot record: every operation that takes a lock returns the failure with
// the lock free, and a constructor that fails leaves nothing open and nothing recorded, whether
// only the failing allocation fails or every later one too.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "support/names.h"
#include "support/tracking.h"

namespace {

constexpr uint32_t kWait = CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE;
constexpr int32_t kBuckets = 256;
constexpr int32_t kFillerIds = kBuckets * 4096;  // far above the ids objects draw

enum class Mode { FirstOnly, EveryLater };

// The nth allocation request from now fails. FirstOnly starts the counter that far below the top
// of its range, so the request after the failing one wraps to 0 and passes.
void arm(Mode mode, uint32_t nth) {
  csys_memory_allocCountReset();
  if (mode == Mode::FirstOnly) csys_memory_allocCountModify(-1 - static_cast<int32_t>(nth));
  csys_memory_allocCountSetOutOfMemory(mode == Mode::FirstOnly ? UINT32_MAX : nth);
}

std::vector<csys_resourceId> g_fillers;

// Fills every bucket of the tracking table (the locks under test include internal ones whose ids
// a test cannot see) until a record no longer fits, leaving `slack` places free, and arms the
// failure: a lock or object that makes more records than that must grow its bucket. Returns
// the number of records before arming.
int32_t starveTracking(Mode mode, uint32_t nth, int32_t slack) {
  for (int32_t bucket = 0; bucket < kBuckets; ++bucket) {
    for (csys_status status = CSYS_OK; CSYS_SUCCEEDED(status);) {
      const auto serial = static_cast<int32_t>(g_fillers.size());
      const csys_resourceId filler{kFillerIds + bucket + kBuckets * serial, "filler"};
      arm(Mode::EveryLater, 1);
      status = csys_resourceId_logAction(&filler, kWait, 1);
      csys_memory_allocCountSetOutOfMemory(0);
      if (CSYS_SUCCEEDED(status)) g_fillers.push_back(filler);
    }
    for (int32_t k = 0; k < slack; ++k) {
      csys_resourceId_logAction(&g_fillers.back(), kWait, -1);
      g_fillers.pop_back();
    }
  }
  const int32_t records = pmtsys_test::leakRecords();
  arm(mode, nth);
  return records;
}

csys_status succeed(void*) {
  return CSYS_OK;
}

struct Row {
  const char* name;
  std::function<csys_status()> run;
  std::function<bool()> lockFree;  // none for constructors
};

// A construction followed by the destruct a careful caller makes whatever the status.
template <typename Object>
std::function<csys_status()> constructed(std::function<csys_status(Object*)> construct,
                                         csys_status (*destruct)(Object*)) {
  return [=] {
    Object object{};
    const csys_status status = construct(&object);
    destruct(&object);
    return status;
  };
}

TEST(TrackingFaults, LocksComeBackFreeAndFailedConstructionsLeaveNothing) {
  csys_mutex* global = nullptr;
  ASSERT_EQ(csys_mutex_getGlobal(&global), CSYS_OK);  // sets up tracking too
  int32_t leaks = 0;
  int32_t valid = 0;
  ASSERT_EQ(csys_cleanupReportLeaks(0, &leaks, &valid), CSYS_OK);  // creates its lock
  ASSERT_EQ(csys_shutdown_register(succeed, nullptr), CSYS_OK);    // creates the registry lock
  csys_mutex mutex{};
  ASSERT_EQ(csys_mutex_construct(&mutex, 0, nullptr), CSYS_OK);
  csys_criticalSection cs{};
  ASSERT_EQ(csys_criticalSection_construct(&cs), CSYS_OK);
  const std::string name = pmtsys_test::uniqueName("faults");
  csys_event named{};
  ASSERT_EQ(csys_event_constructNamed(&named, name.c_str(), 0, 0, 0), CSYS_OK);

  const auto mutexFree = [](csys_mutex* m) {
    return [m] {
      int32_t acquired = 0;
      return csys_mutex_waitTry(m, &acquired) == CSYS_OK && acquired == 1 &&
             csys_mutex_unlock(m) == CSYS_OK;
    };
  };
  const auto csFree = [&cs] {
    return csys_criticalSection_wait(&cs, nullptr) == CSYS_OK &&
           csys_criticalSection_release(&cs) == CSYS_OK;
  };
  int32_t onceFlag = 0;
  csys_criticalSection singleton{};
  int32_t singletonFlag = 0;
  const std::vector<Row> rows = {
      {"initializeOnce", [&] { return csys_initializeOnce(succeed, nullptr, &onceFlag); },
       mutexFree(global)},
      {"constructSingleton",
       [&] { return csys_criticalSection_constructSingleton(&singleton, &singletonFlag); },
       mutexFree(global)},
      {"protectGlobal", [] { return csys_mutex_protectGlobal(succeed, nullptr); },
       mutexFree(global)},
      {"mutex_protect", [&] { return csys_mutex_protect(&mutex, succeed, nullptr); },
       mutexFree(&mutex)},
      {"criticalSection_protect",
       [&] { return csys_criticalSection_protect(&cs, succeed, nullptr); }, csFree},
      {"cleanup frame",
       [] {
         csys_cleanupEntry entries[1];
         int32_t count = 0;
         csys_status status = CSYS_OK;
         csys_cleanupExecute_(entries, &count, &status, csys_cleanup_getNextTag());
         return status;
       },
       [] {
         int32_t n = 0;
         int32_t ok = 0;
         return csys_cleanupReportLeaks(0, &n, &ok) == CSYS_OK && ok == 1;
       }},
      {"shutdown_register", [] { return csys_shutdown_register(succeed, nullptr); },
       [] { return csys_shutdown_register(succeed, nullptr) == CSYS_OK; }},
      {"mutex owned",
       constructed<csys_mutex>(
           [](csys_mutex* m) {
             const csys_status status = csys_mutex_construct(m, 1, nullptr);
             if (m->handle != nullptr) csys_mutex_unlock(m);
             return status;
           },
           csys_mutex_destruct),
       nullptr},
      {"semaphore",
       constructed<csys_semaphore>(
           [](csys_semaphore* s) { return csys_semaphore_construct(s, 0, 1); },
           csys_semaphore_destruct),
       nullptr},
      {"event opened",
       constructed<csys_event>(
           [&](csys_event* e) { return csys_event_constructNamedExists(e, name.c_str()); },
           csys_event_destruct),
       nullptr},
      {"criticalSection",
       constructed<csys_criticalSection>(csys_criticalSection_construct,
                                         csys_criticalSection_destruct),
       nullptr},
  };

  for (const Mode mode : {Mode::FirstOnly, Mode::EveryLater}) {
    for (const int32_t slack : {0, 1}) {
      for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.name) + (mode == Mode::FirstOnly ? " first" : " every") +
                     " slack " + std::to_string(slack));
        // A lock's operation fails at its acquisition record; a constructor at each of its
        // allocations in turn, until it runs through. (Each success grows a full bucket for
        // good, so the sweeps stay short.)
        for (uint32_t nth = 1;; ++nth) {
          ASSERT_LT(nth, 20u);
          const int32_t records = starveTracking(mode, nth, slack);
          const csys_status status = row.run();
          csys_memory_allocCountSetOutOfMemory(0);
          // From another thread: a lock left held makes this hang until the test times out.
          if (row.lockFree) {
            EXPECT_TRUE(std::async(std::launch::async, row.lockFree).get()) << nth;
          }
          if (CSYS_SUCCEEDED(status)) break;
          EXPECT_EQ(status, CSYS_E_OUT_OF_MEMORY) << nth;
          EXPECT_EQ(pmtsys_test::leakRecords(), records) << nth;
          if (row.lockFree) break;
        }
      }
    }
  }
  for (const auto& filler : g_fillers) csys_resourceId_logAction(&filler, kWait, -1);
  EXPECT_EQ(csys_criticalSection_destruct(&singleton), CSYS_OK);
  EXPECT_EQ(csys_event_destruct(&named), CSYS_OK);
  EXPECT_EQ(csys_criticalSection_destruct(&cs), CSYS_OK);
  EXPECT_EQ(csys_mutex_destruct(&mutex), CSYS_OK);
}

}  // namespace
