// Cleanups at a thread's end and the shutdown call through the exported interface, with real
// threads: registrations for other threads, foreign threads, postponement by live threads, the
// printed reports, and the final stage racing with threads that end at the same moment.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "csys_cleanup.h"
#include "csys_resource.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "csys_thread.h"
#include "os/os.h"
#include "support/report_capture.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_ran;  // "<what>@<thread id>"

csys_status record(void* what) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_ran.push_back(std::string(static_cast<const char*>(what)) + "@" +
                  std::to_string(os_getCurrentThreadId()));
  return CSYS_OK;
}

std::string at(const char* what, uint32_t id) {
  return std::string(what) + "@" + std::to_string(id);
}

// A library thread that runs until released.
struct Parked {
  csys_event release{};
  csys_thread thread{};
  uint32_t id = 0;
  Parked() {
    EXPECT_EQ(csys_event_construct(&release, 1, 0), CSYS_OK);
    EXPECT_EQ(csys_thread_construct(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_create(park, &release, nullptr, &thread), CSYS_OK);
    EXPECT_EQ(csys_thread_getOSIdentifier(&thread, &id), CSYS_OK);
  }
  void end() {
    EXPECT_EQ(csys_event_set(&release), CSYS_OK);
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);
    EXPECT_EQ(csys_event_destruct(&release), CSYS_OK);
  }
  static uint32_t park(void* release) {
    int32_t acquired = 0;
    EXPECT_EQ(csys_event_wait(static_cast<csys_event*>(release), &acquired), CSYS_OK);
    return 0;
  }
};

class ThreadShutdown : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ran.clear();
    csys_cleanupSetReportLeaksAtShutdown(0);
    csys_resourceSetReportLeaksAtShutdown(0);
  }
};

TEST_F(ThreadShutdown, CleanupsForOtherThreadsRunInThoseThreadsNewestFirst) {
  Parked b;
  Parked c;
  ASSERT_EQ(csys_thread_cleanup_registerOther(&b.thread, record, const_cast<char*>("b1")), CSYS_OK);
  ASSERT_EQ(csys_thread_cleanup_registerOther(&c.thread, record, const_cast<char*>("c")), CSYS_OK);
  ASSERT_EQ(csys_thread_cleanup_registerOther(&b.thread, record, const_cast<char*>("b2")), CSYS_OK);
  ASSERT_EQ(csys_thread_cleanup_registerOther(nullptr, record, const_cast<char*>("self")), CSYS_OK);
  b.end();
  EXPECT_EQ(g_ran, (std::vector<std::string>{at("b2", b.id), at("b1", b.id)}));
  c.end();
  EXPECT_EQ(g_ran.back(), at("c", c.id));
  // A foreign thread that touched the library ends itself; one that did not has nothing to do.
  std::thread foreign([] {
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
    EXPECT_EQ(csys_thread_cleanup_register(record, const_cast<char*>("foreign")), CSYS_OK);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
    EXPECT_EQ(csys_thread_cleanup(), CSYS_OK);
  });
  foreign.join();
  EXPECT_EQ(g_ran.size(), 4u);
  EXPECT_EQ(csys_shutdown(), CSYS_OK);  // the calling thread's own cleanup runs first
  EXPECT_EQ(g_ran.back(), at("self", os_getCurrentThreadId()));
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_ALREADY_DONE);
}

TEST_F(ThreadShutdown, TheLastLibraryThreadRunsTheFinalStage) {
  uint32_t key = 0;
  int32_t flag = 0;
  ASSERT_EQ(csys_threadLocal_alloc(&key, &flag), CSYS_OK);
  Parked worker;
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("final")), CSYS_OK);
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_POSTPONED);
  EXPECT_EQ(csys_shutdown(), CSYS_SHUTDOWN_IN_PROGRESS);
  csys_thread late{};
  ASSERT_EQ(csys_thread_construct(&late), CSYS_OK);
  EXPECT_EQ(csys_thread_create(Parked::park, nullptr, nullptr, &late), CSYS_E_THREAD_NOT_STARTED);
  EXPECT_TRUE(g_ran.empty());
  worker.end();
  while (csys_shutdown() != CSYS_SHUTDOWN_ALREADY_DONE) os_sleep(1);
  EXPECT_EQ(g_ran, (std::vector<std::string>{at("final", worker.id)}));
  EXPECT_EQ(csys_thread_cleanup_registerOther(&worker.thread, record, nullptr), CSYS_E_SHUT_DOWN);
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_threadLocal_setValueObj(key, 1, nullptr), CSYS_E_SHUT_DOWN);
  uintptr_t value = 1;
  EXPECT_EQ(csys_threadLocal_getValue(key, &value), CSYS_OK);
  EXPECT_EQ(value, 0u);
}

TEST_F(ThreadShutdown, PrintsTheLeakReports) {
  csys_cleanupSetReportLeaksAtShutdown(1);
  csys_resourceSetReportLeaksAtShutdown(1);
  uint32_t key = 0;
  int32_t flag = 0;
  ASSERT_EQ(csys_threadLocal_alloc(&key, &flag), CSYS_OK);  // sets tracking up
  csys_criticalSection leaked{};
  ASSERT_EQ(csys_criticalSection_construct(&leaked), CSYS_OK);
  const int32_t lost = csys_cleanup_getNextTag();  // a frame that never ends
  ASSERT_EQ(csys_cleanup_logExecute(csys_cleanup_getNextTag()), CSYS_OK);
  pmtsys_test::PrintCapture printed;
  EXPECT_EQ(csys_shutdown(), CSYS_OK);
  EXPECT_EQ(printed.text(),
            "Detected cleanup leaks!\nDumping tags ->\n{C" + std::to_string(lost) +
                "}\n Data: End of cleanup leaks\nDetected resource leaks/errors!\n"
                "  ActionTypes: 0=constructOrDestruct\n               1=waitOrRelease\n"
                "               2=destructWhileLocked\nDumping IDs ->\n  {ResourceID " +
                std::to_string(leaked.resourceId.id) +
                " Name: csys_criticalSection ActionType: 0  Count: 1}\n\n");
  EXPECT_EQ(csys_criticalSection_destruct(&leaked), CSYS_OK);
}

csys_status trackedWork() {
  csys_criticalSection cs{};
  csys_status status = csys_criticalSection_construct(&cs);
  int32_t acquired = 0;
  if (CSYS_SUCCEEDED(status)) status = csys_criticalSection_wait(&cs, &acquired);
  if (CSYS_SUCCEEDED(status)) status = csys_criticalSection_release(&cs);
  const csys_status destructed = csys_criticalSection_destruct(&cs);
  int32_t leaks = 0;
  int32_t valid = 0;
  const csys_status reported = csys_cleanupReportLeaks(0, &leaks, &valid);
  return CSYS_FAILED(status) ? status : CSYS_FAILED(destructed) ? destructed : reported;
}

uint32_t workThenEnd(void* /*argument*/) {
  for (int i = 0; i < 50; ++i) EXPECT_EQ(trackedWork(), CSYS_OK);
  return 0;
}

TEST_F(ThreadShutdown, TheFinalStageRacesWithEndingThreads) {
  csys_cleanupSetReportLeaksAtShutdown(1);
  csys_resourceSetReportLeaksAtShutdown(1);
  pmtsys_test::PrintCapture printed;
  std::atomic<bool> done{false};
  std::vector<std::thread> foreign;
  for (int t = 0; t < 3; ++t) {
    foreign.emplace_back([&] {
      while (!done.load()) EXPECT_EQ(trackedWork(), CSYS_OK);
      for (int i = 0; i < 20; ++i) EXPECT_EQ(trackedWork(), CSYS_OK);
    });
  }
  std::vector<csys_thread> threads(6);
  for (auto& thread : threads) {
    ASSERT_EQ(csys_thread_construct(&thread), CSYS_OK);
    ASSERT_EQ(csys_thread_create(workThenEnd, nullptr, nullptr, &thread), CSYS_OK);
  }
  const csys_status shutdown = csys_shutdown();
  EXPECT_TRUE(shutdown == CSYS_SHUTDOWN_POSTPONED || shutdown == CSYS_OK);
  for (auto& thread : threads) {
    EXPECT_EQ(csys_thread_waitForTermination(&thread), CSYS_OK);
    EXPECT_EQ(csys_thread_destruct(&thread), CSYS_OK);  // tears records down meanwhile
  }
  while (csys_shutdown() != CSYS_SHUTDOWN_ALREADY_DONE) os_sleep(1);
  done = true;
  for (auto& thread : foreign) thread.join();
}

}  // namespace
