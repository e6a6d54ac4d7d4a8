// Threads: creation and its parameters, priorities, refusals, work state; the shutdown stages and
// thread cleanups. Shutdown tests end the library: each test runs in a process of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "cleanup/shutdown_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_resource.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "csys_thread_work.h"
#include "os/os.h"
#include "support/objects.h"
#include "support/report_capture.h"
#include "thread/thread_local_internal.h"

namespace {

using pmtsys_test::allOk;

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

// Registers "<stage>:<name>" entries: E(arly), N(ormal) or T(he thread's end, by default this one).
void registerAll(std::initializer_list<const char*> entries, csys_thread* thread = nullptr) {
  for (const char* entry : entries) {
    void* name = const_cast<char*>(entry + 2);
    ASSERT_EQ(*entry == 'E'   ? csys_shutdown_registerEarly(record, name)
              : *entry == 'N' ? csys_shutdown_register(record, name)
                              : csys_thread_cleanup_registerOther(thread, record, name),
              CSYS_OK);
  }
}

// A thread's own view of itself: name, priority, id.
using Observed = std::tuple<const char*, int32_t, uint32_t>;

uint32_t observe(void* argument) {
  auto& [name, priority, id] = *static_cast<Observed*>(argument);
  EXPECT_EQ(csys_thread_getCurrentThreadName(&name) | csys_thread_getCurrentPriority(&priority) |
                csys_thread_getCurrentThreadOSIdentifier(&id),
            CSYS_OK);
  return 0;
}

TEST(Thread, ParametersReachTheThreadWaitersReturnPrioritiesAndRefusals) {
  // The priority asked for and the one read back.
  const std::pair<int32_t, int32_t> cases[] = {
      {3, 2}, {5, 5}, {0, 0}, {CSYS_THREAD_PRIORITY_FROM_CREATOR, 4}};
  for (const auto& [asked, reads] : cases) {
    static const char kName[] = "worker";
    const csys_threadCreateParams params{asked, 64 * 1024, kName};
    Observed observed{};
    csys_thread thread{};
    ASSERT_TRUE(allOk({csys_thread_construct(&thread),
                       csys_thread_create(observe, &observed, &params, &thread)}));
    std::thread other([&] { EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK); });
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    other.join();
    uint32_t id = 0;
    EXPECT_TRUE(allOk({csys_thread_waitForTermination(&thread),
                       csys_thread_getOSIdentifier(&thread, &id), csys_thread_destruct(&thread)}));
    EXPECT_EQ(observed, Observed(kName, reads, id)) << asked;  // the very pointer of the name
  }
  pmtsys_test::AssertCapture asserts;
  const int32_t expected[] = {-1, -1, 4, 7, -1, -1, -1, -1, 6};
  int32_t priority = 0;
  for (int32_t kind = -2; kind <= 6; ++kind) {
    EXPECT_EQ(csys_thread_getInitialThreadPriority(kind, &priority), CSYS_OK);
    EXPECT_EQ(priority, expected[kind + 2]) << kind;
  }
  csys_thread self{};
  uint32_t slot = 0;
  void* value = nullptr;
  ASSERT_EQ(csys_thread_constructCurrent(&self) | qzf_OSThreadLocalAlloc(&slot), CSYS_OK);
  std::thread([&] { EXPECT_EQ(qzf_OSThreadLocalValueSet(slot, &slot), CSYS_OK); }).join();
  const std::pair<csys_status, csys_status> rows[] = {
      {qzf_OSThreadLocalFree(slot), CSYS_OK},  // a value still held: harmless
      {qzf_OSThreadLocalAlloc(nullptr), CSYS_E_INVALID_ARGUMENT},
      {qzf_OSThreadLocalValueGet(5000, &value), CSYS_E_OS},
      {qzf_OSThreadLocalValueSet(5000, nullptr), CSYS_E_OS},
      {qzf_OSThreadLocalFree(5000), CSYS_E_OS},
      {csys_thread_waitForTermination(nullptr), CSYS_E_INVALID_ARGUMENT},
      {csys_thread_setAffinity(&self, 0), CSYS_E_FAIL},
      {csys_thread_getInitialThreadPriority(9, &priority), CSYS_E_UNKNOWN_THREAD_KIND},
      {priority, -999},
      {csys_thread_setPriority(&self, 9), CSYS_OK},  // asserts, sets normal
      {csys_thread_getPriority(&self, &priority), CSYS_OK},
      {priority, 4}};
  for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
  EXPECT_EQ(asserts.count(), 3u);
  EXPECT_EQ(csys_thread_destruct(&self), CSYS_OK);
  EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
}

using State = std::tuple<csys_status, uint32_t, uint32_t, int32_t, uint32_t, cstd_shared*>;

State read(const csys_thread* thread) {  // null thread: the calling thread's own query
  uint32_t use = 9, worker = 9, sequence = 0;
  int32_t id = 9;
  cstd_ptrh context{};
  EXPECT_EQ(cstd_ptrh_construct(&context, nullptr), CSYS_OK);
  const csys_status status =
      thread ? csys_thread_getWorkState(thread, &use, &worker, &id, &sequence, &context)
             : csys_threadGetCurrentThreadWorkState(&use, &worker, &id, &sequence, &context);
  const State state{status, use, worker, id, sequence, context.shared};
  EXPECT_EQ(cstd_ptrh_destruct(&context), CSYS_OK);
  return state;
}

TEST(WorkState, DefaultsWorkerSwitchGroupsAndRefusals) {
  cstd_shared* block = nullptr;  // freed by the last handle
  ASSERT_EQ(csys_memory_alloc_internal(sizeof *block, reinterpret_cast<void**>(&block)), CSYS_OK);
  ASSERT_EQ(cstd_shared_init(block, block), CSYS_OK);
  cstd_ptrh mine{}, empty{};
  ASSERT_EQ(cstd_ptrh_construct(&mine, block) | cstd_ptrh_construct(&empty, nullptr), CSYS_OK);
  csys_thread self{};
  const csys_thread none{};
  ASSERT_EQ(csys_thread_constructCurrent(&self), CSYS_OK);
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 7, 12, &mine), CSYS_OK);
  EXPECT_EQ(read(&self), State(CSYS_OK, 1, 1, 12, 1, block));
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 1, 13, nullptr), CSYS_E_INVALID_ARGUMENT);
  EXPECT_EQ(read(&self), State(CSYS_OK, 1, 1, 13, 2, block));
  EXPECT_EQ(csys_thread_setIsWorkerThread(&self, 0, 14, &mine), CSYS_OK);
  EXPECT_EQ(csys_thread_setUseWorkManager(&self, 0), CSYS_OK);
  EXPECT_EQ(read(&self), State(CSYS_OK, 0, 0, -1, 3, nullptr));
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &mine), CSYS_OK);
  EXPECT_EQ(csys_thread_getWorkThreadGroup(&self, &empty), CSYS_OK);
  EXPECT_EQ(std::make_pair(empty.shared, block->ownCount), std::make_pair(block, 3));
  EXPECT_EQ(cstd_ptrh_destruct(&mine), CSYS_OK);
  EXPECT_EQ(csys_thread_setWorkThreadGroup(&self, &mine), CSYS_OK);  // empty: the field empties
  EXPECT_EQ(block->ownCount, 1);
  // Concurrent queries receive distinct numbers.
  std::set<uint32_t> seen[2];
  std::thread other([&] {
    for (int i = 0; i < 2000; ++i) seen[1].insert(std::get<4>(read(&self)));
  });
  for (int i = 0; i < 2000; ++i) seen[0].insert(std::get<4>(read(&self)));
  other.join();
  seen[0].insert(seen[1].begin(), seen[1].end());
  EXPECT_EQ(seen[0].size(), 4000u);
  const csys_thread* const refused[] = {nullptr, &none};
  for (const csys_thread* thread : refused) {
    const csys_status expected = thread ? CSYS_E_NO_THREAD_RECORD : CSYS_E_INVALID_ARGUMENT;
    uint32_t u = 0;
    for (const csys_status status :
         {csys_thread_getWorkState(thread, &u, &u, nullptr, nullptr, nullptr),
          csys_thread_setIsWorkerThread(thread, 1, 2, &empty),
          csys_thread_setUseWorkManager(thread, 1), csys_thread_getUseWorkManager(thread, &u),
          csys_thread_setWorkThreadGroup(thread, &empty),
          csys_thread_getWorkThreadGroup(thread, &empty)}) {
      EXPECT_EQ(status, expected);
    }
  }
  EXPECT_EQ(csys_thread_destruct(&self) | cstd_ptrh_destruct(&empty), CSYS_OK);
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
  csys_resourceId rids[2]{};
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
      {csys_resourceId_init(&rids[0], "a"), CSYS_OK},
      {csys_resourceId_init(&rids[1], "b"), CSYS_OK}};
  for (const auto& [got, want] : after) EXPECT_EQ(got, want);
  EXPECT_EQ(value + uintptr_t(valid[0] + valid[1]), 0u);            // no value, no report
  EXPECT_EQ(csys_cleanup_getNextTag(), csys_cleanup_getNextTag());  // tags and ids frozen
  EXPECT_EQ(rids[1].id, rids[0].id);
}

TEST(ThreadShutdown, ThreadEndsRunTheirCleanupsAndTheLastPostponementTheFinalStage) {
  EXPECT_TRUE(allOk({csys_shutdownPostponementIncrement(), csys_shutdownPostponementIncrement(),
                     csys_shutdownPostponementDecrement()}));  // nothing requested: runs nothing
  static std::atomic<bool> release{false};
  const auto park = [](void*) -> uint32_t {
    while (!release) os_sleep(1);
    return 0;
  };
  csys_thread worker{};
  uint32_t os = 0;
  ASSERT_TRUE(allOk({csys_thread_construct(&worker), csys_thread_create(park, 0, nullptr, &worker),
                     csys_thread_getOSIdentifier(&worker, &os)}));
  registerAll({"T:w1", "T:w2"}, &worker);  // run in that thread, newest first
  uint32_t keys[3] = {};
  int32_t flags[2] = {};
  ASSERT_TRUE(allOk({csys_threadLocal_alloc(&keys[0], &flags[0]),
                     csys_threadLocal_alloc(&keys[1], &flags[0]),
                     csys_threadLocal_alloc(&keys[2], &flags[1])}));
  EXPECT_EQ(std::make_pair(keys[1], keys[2]), std::make_pair(keys[0], keys[0] + 1));
  // A foreign thread: reading makes no block, it has no name, its work state is the default; once
  // it touched the library it ends itself once.
  std::string foreign;
  std::thread([&] {
    foreign = "@" + std::to_string(os_getCurrentThreadId()) + " ";
    uintptr_t value = 7;
    int32_t block = 1;
    const char* name = "x";
    EXPECT_TRUE(
        allOk({csys_thread_cleanup(), csys_threadLocal_getValue(keys[2], &value),
               csys_threadLocal_hasBlock(&block), csys_thread_getCurrentThreadName(&name)}));
    EXPECT_EQ(std::make_tuple(value, block, name), std::make_tuple(0u, 0, nullptr));
    EXPECT_EQ(read(nullptr), State(CSYS_OK, 1, 0, -1, 1, nullptr));
    registerAll({"T:f"});
    EXPECT_TRUE(
        allOk({csys_thread_cleanup(), csys_thread_cleanup(), csys_threadLocal_hasBlock(&block)}));
    EXPECT_EQ(block, 0);
  }).join();
  registerAll({"N:final"});
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_POSTPONED);
  int32_t requested = 0;
  EXPECT_EQ((csys_shutdown_getIsRequested(&requested), requested), 1);
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_IN_PROGRESS);
  csys_thread late{};
  ASSERT_EQ(csys_thread_construct(&late), CSYS_OK);
  EXPECT_EQ(csys_thread_create(park, nullptr, nullptr, &late), CSYS_E_THREAD_NOT_STARTED);
  registerAll({"N:late"});  // requested, not yet final: still runs
  EXPECT_EQ(csys_shutdownPostponementDecrement(), CSYS_SHUTDOWN_POSTPONED);  // the thread holds
  EXPECT_EQ(g_ran, "f" + foreign);
  release = true;
  EXPECT_TRUE(allOk({csys_thread_waitForTermination(&worker), csys_thread_destruct(&worker)}));
  while (csys_shutdown() != CSYS_SHUTDOWN_ALREADY_DONE) os_sleep(1);
  const std::string w = "@" + std::to_string(os) + " ";
  EXPECT_EQ(g_ran, "f" + foreign + "w2" + w + "w1" + w + "late" + w + "final" + w);
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
