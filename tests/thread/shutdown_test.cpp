// The shutdown stages and thread cleanups with real threads: order, printed reports, what the
// final stage leaves refused, postponement, registrations racing it. Each test ends the library.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cleanup/shutdown_internal.h"
#include "csys_cleanup.h"
#include "csys_resource.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "os/os.h"
#include "support/report_capture.h"
#include "thread/thread_local_internal.h"

namespace {

std::mutex g_mutex;
std::string g_ran;  // "<what> " in the test's own thread, "<what>@<thread id> " in others
const uint32_t g_main = os_getCurrentThreadId();  // static set-up runs in the main thread

csys_status record(void* what) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_ran += static_cast<const char*>(what);
  const uint32_t id = os_getCurrentThreadId();
  g_ran += (id == g_main ? "" : "@" + std::to_string(id)) + " ";
  return *static_cast<const char*>(what) == '!' ? CSYS_STATUS(0x80000555u) : CSYS_OK;
}

// A library thread that runs until released.
struct Parked {
  std::atomic<bool> release{false};
  csys_thread thread{};
  std::string id;
  Parked() {
    uint32_t os = 0;
    EXPECT_EQ(csys_thread_construct(&thread) |
                  csys_thread_create(park, &release, nullptr, &thread) |
                  csys_thread_getOSIdentifier(&thread, &os),
              CSYS_OK);
    id = "@" + std::to_string(os);
  }
  void end() {
    release = true;
    EXPECT_EQ(csys_thread_waitForTermination(&thread) | csys_thread_destruct(&thread), CSYS_OK);
  }
  static uint32_t park(void* release) {
    while (!*static_cast<std::atomic<bool>*>(release)) os_sleep(1);
    return 0;
  }
};

// Registers "<stage>:<name>" entries: E(arly), N(ormal) or T(his thread's end).
void registerAll(std::initializer_list<const char*> entries) {
  for (const char* entry : entries) {
    void* name = const_cast<char*>(entry + 2);
    ASSERT_EQ(*entry == 'E'   ? csys_shutdown_registerEarly(record, name)
              : *entry == 'N' ? csys_shutdown_register(record, name)
                              : csys_thread_cleanup_registerOther(nullptr, record, name),
              CSYS_OK);
  }
}

TEST(ThreadShutdown, StagesRunNewestFirstReportAndLeaveTheLibraryShut) {
  uint32_t key = 0;
  int32_t flag = 0;
  ASSERT_EQ(csys_threadLocal_alloc(&key, &flag), CSYS_OK);  // sets tracking up
  csys_criticalSection leaked{};
  ASSERT_EQ(csys_criticalSection_construct(&leaked), CSYS_OK);
  const int32_t lost = csys_cleanup_getNextTag();  // a frame that never ends
  ASSERT_EQ(csys_cleanup_logExecute(csys_cleanup_getNextTag()), CSYS_OK);
  registerAll({"N:normal1", "E:early1", "N:!normal2", "E:early2", "N:normal3", "T:self"});
  {
    pmtsys_test::PrintCapture printed;  // both reports are on by default
    EXPECT_EQ(csys_shutdown(), CSYS_STATUS(0x80000555u));
    EXPECT_EQ(printed.text(),
              "Detected cleanup leaks!\nDumping tags ->\n{C" + std::to_string(lost) +
                  "}\n Data: End of cleanup leaks\nDetected resource leaks/errors!\n"
                  "  ActionTypes: 0=constructOrDestruct\n               1=waitOrRelease\n"
                  "               2=destructWhileLocked\nDumping IDs ->\n  {ResourceID " +
                  std::to_string(leaked.resourceId.id) +
                  " Name: csys_criticalSection ActionType: 0  Count: 1}\n\n");
  }
  EXPECT_EQ(g_ran, "self early2 early1 normal3 !normal2 normal1 ");
  EXPECT_TRUE(csys_shutdown_isDone());
  pmtsys_test::AssertCapture asserts;
  uintptr_t value = 1;
  csys_mutex* global = nullptr;
  int32_t leaks = 0;
  int32_t valid[2] = {1, 1};
  csys_resourceId ids[2]{};
  const std::pair<csys_status, csys_status> after[] = {
      {csys_shutdown(), CSYS_SHUTDOWN_ALREADY_DONE},
      {csys_shutdown_register(record, nullptr), CSYS_E_SHUT_DOWN},
      {csys_thread_cleanup_registerOther(nullptr, record, nullptr), CSYS_E_SHUT_DOWN},
      {csys_threadLocal_setValueObj(key, 1, nullptr), CSYS_E_SHUT_DOWN},
      {csys_threadLocal_getValue(key, &value), CSYS_OK},
      {csys_mutex_getGlobal(&global), CSYS_E_FAIL},
      {csys_cleanupReportLeaks(0, &leaks, &valid[0]), CSYS_OK},
      {csys_resourceReportLeaks(0, &leaks, &valid[1]), CSYS_OK},
      {csys_criticalSection_wait(&leaked, nullptr), CSYS_OK},  // objects still work untracked
      {csys_criticalSection_release(&leaked), CSYS_OK},
      {csys_criticalSection_destruct(&leaked), CSYS_OK},
      {csys_resourceId_init(&ids[0], "a"), CSYS_OK},
      {csys_resourceId_init(&ids[1], "b"), CSYS_OK}};
  for (const auto& [got, want] : after) EXPECT_EQ(got, want);
  EXPECT_EQ(value + uintptr_t(valid[0] + valid[1]), 0u);            // no value, no report
  EXPECT_EQ(csys_cleanup_getNextTag(), csys_cleanup_getNextTag());  // tags and ids frozen
  EXPECT_EQ(ids[1].id, ids[0].id);
}

TEST(ThreadShutdown, ThreadEndsRunTheirCleanupsAndTheLastPostponementTheFinalStage) {
  EXPECT_EQ(csys_shutdownPostponementIncrement(), CSYS_OK);
  EXPECT_EQ(csys_shutdownPostponementIncrement(), CSYS_OK);
  EXPECT_EQ(csys_shutdownPostponementDecrement(), CSYS_OK);  // nothing requested: runs nothing
  Parked worker;
  Parked other;
  // Cleanups for other threads run in those threads, newest first.
  ASSERT_EQ(csys_thread_cleanup_registerOther(&worker.thread, record, const_cast<char*>("w1")), 0);
  ASSERT_EQ(csys_thread_cleanup_registerOther(&other.thread, record, const_cast<char*>("o")), 0);
  ASSERT_EQ(csys_thread_cleanup_registerOther(&worker.thread, record, const_cast<char*>("w2")), 0);
  other.end();
  uint32_t keys[3] = {};
  int32_t flags[2] = {};
  ASSERT_EQ(csys_threadLocal_alloc(&keys[0], &flags[0]) |
                csys_threadLocal_alloc(&keys[1], &flags[0]) |
                csys_threadLocal_alloc(&keys[2], &flags[1]),
            CSYS_OK);
  EXPECT_EQ(std::make_pair(keys[1], keys[2]), std::make_pair(keys[0], keys[0] + 1));
  // A foreign thread: reading makes no block; one that touched the library ends itself once.
  std::string foreign;
  std::thread([&] {
    foreign = "@" + std::to_string(os_getCurrentThreadId()) + " ";
    uintptr_t value = 7;
    int32_t block = 1;
    EXPECT_EQ(csys_thread_cleanup() | csys_threadLocal_getValue(keys[2], &value) |
                  csys_threadLocal_hasBlock(&block),
              CSYS_OK);
    EXPECT_EQ(value + uintptr_t(block), 0u);
    registerAll({"T:f"});
    EXPECT_EQ(csys_thread_cleanup() | csys_thread_cleanup() | csys_threadLocal_hasBlock(&block),
              CSYS_OK);
    EXPECT_EQ(block, 0);
  }).join();
  const std::string before = "o" + other.id + " f" + foreign;
  registerAll({"N:final"});
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_POSTPONED);
  int32_t requested = 0;
  csys_shutdown_getIsRequested(&requested);
  EXPECT_EQ(requested, 1);
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_IN_PROGRESS);
  csys_thread late{};
  ASSERT_EQ(csys_thread_construct(&late), CSYS_OK);
  EXPECT_EQ(csys_thread_create(Parked::park, nullptr, nullptr, &late), CSYS_E_THREAD_NOT_STARTED);
  registerAll({"N:late"});  // requested, not yet final: still runs
  EXPECT_EQ(csys_shutdownPostponementDecrement(), CSYS_SHUTDOWN_POSTPONED);  // the thread holds
  EXPECT_EQ(g_ran, before);
  worker.end();
  while (csys_shutdown() != CSYS_SHUTDOWN_ALREADY_DONE) os_sleep(1);
  const std::string& w = worker.id;
  EXPECT_EQ(g_ran, before + "w2" + w + " w1" + w + " late" + w + " final" + w + " ");
}

TEST(ThreadShutdown, RegistrationsRacingTheFinalStageRunOrAreRefused) {
  static std::atomic<int> registered{0}, ran{0};
  std::vector<std::thread> registrars;
  for (int t = 0; t < 3; ++t) {
    registrars.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        const csys_status status = csys_shutdown_register([](void*) { return ++ran, CSYS_OK; }, 0);
        EXPECT_TRUE(status == CSYS_OK || status == CSYS_E_SHUT_DOWN) << status;
        if (status != CSYS_OK) return;
        ++registered;
      }
    });
  }
  while (registered < 100) os_yield();  // the final stage starts while they register
  EXPECT_EQ(csys_shutdown(), CSYS_OK);
  for (auto& thread : registrars) thread.join();
  EXPECT_EQ(ran.load(), registered.load());  // every accepted one ran, none twice
  EXPECT_GT(ran.load(), 0);
}

}  // namespace
