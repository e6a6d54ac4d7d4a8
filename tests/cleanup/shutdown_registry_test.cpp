// The shutdown registry and the shutdown stages: order of teardown, postponement, failures
// that do not stop the others, registrations racing with the final stage, and what is left
// after it.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cleanup/shutdown_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "support/report_capture.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_ran;

csys_status record(void* arg) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_ran.emplace_back(static_cast<const char*>(arg));
  return CSYS_OK;
}

csys_status failing(void* arg) {
  record(arg);
  return CSYS_STATUS(0x80000555u);
}

// Runs the whole shutdown of a process with no threads of its own.
csys_status shutDown() {
  bool elected = false;
  const csys_status status = csys_shutdown_request(&elected);
  return elected ? csys_shutdown_finishRequest() : status;
}

class ShutdownRegistry : public ::testing::Test {
 protected:
  void SetUp() override {
    g_ran.clear();
    // Keep the leak reports of the final stage out of the test output.
    csys_cleanupSetReportLeaksAtShutdown(0);
    csys_resourceSetReportLeaksAtShutdown(0);
  }
};

TEST_F(ShutdownRegistry, StagesRunNewestFirst) {
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("normal 1")), CSYS_OK);
  ASSERT_EQ(csys_shutdown_registerEarly(record, const_cast<char*>("early 1")), CSYS_OK);
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("normal 2")), CSYS_OK);
  ASSERT_EQ(csys_shutdown_registerEarly(record, const_cast<char*>("early 2")), CSYS_OK);
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("normal 3")), CSYS_OK);
  EXPECT_EQ(shutDown(), CSYS_OK);
  EXPECT_EQ(g_ran,
            (std::vector<std::string>{"early 2", "early 1", "normal 3", "normal 2", "normal 1"}));
  EXPECT_TRUE(csys_shutdown_isDone());
  EXPECT_EQ(shutDown(), CSYS_SHUTDOWN_ALREADY_DONE);
  EXPECT_EQ(csys_shutdown_register(record, nullptr), CSYS_E_SHUT_DOWN);
}

TEST_F(ShutdownRegistry, PostponementHoldsTheFinalStageBack) {
  EXPECT_EQ(csys_shutdownPostponementIncrement(), CSYS_OK);
  EXPECT_EQ(csys_shutdownPostponementIncrement(), CSYS_OK);
  EXPECT_EQ(csys_shutdownPostponementDecrement(), CSYS_OK);  // nothing requested: runs nothing
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("final")), CSYS_OK);
  int32_t requested = -1;
  csys_shutdown_getIsRequested(&requested);
  EXPECT_EQ(requested, 0);

  std::thread worker;
  std::atomic<csys_status> workerStatus{CSYS_E_FAIL};
  EXPECT_EQ(shutDown(), CSYS_SHUTDOWN_POSTPONED);
  csys_shutdown_getIsRequested(&requested);
  EXPECT_EQ(requested, 1);
  EXPECT_TRUE(g_ran.empty());
  EXPECT_EQ(shutDown(), CSYS_SHUTDOWN_IN_PROGRESS);
  // A registration made while requested still runs in the final stage.
  ASSERT_EQ(csys_shutdown_register(record, const_cast<char*>("late")), CSYS_OK);
  // The last postponement runs the final stage in the thread that gives it back.
  worker = std::thread([&] { workerStatus = csys_shutdownPostponementDecrement(); });
  worker.join();
  EXPECT_EQ(workerStatus.load(), CSYS_OK);
  EXPECT_EQ(g_ran, (std::vector<std::string>{"late", "final"}));
  EXPECT_EQ(shutDown(), CSYS_SHUTDOWN_ALREADY_DONE);
}

TEST_F(ShutdownRegistry, AFailingTeardownDoesNotStopTheOthers) {
  csys_shutdown_register(record, const_cast<char*>("first"));
  csys_shutdown_register(failing, const_cast<char*>("second"));
  csys_shutdown_register(record, const_cast<char*>("third"));
  EXPECT_EQ(shutDown(), CSYS_STATUS(0x80000555u));
  EXPECT_EQ(g_ran, (std::vector<std::string>{"third", "second", "first"}));
}

std::atomic<int> g_registeredDuringFinal{0};
std::atomic<int> g_ranDuringFinal{0};
csys_status countRun(void*) {
  ++g_ranDuringFinal;
  return CSYS_OK;
}

TEST_F(ShutdownRegistry, RegistrationsRacingTheFinalStageRunOrAreRefused) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> registrars;
  for (int t = 0; t < 3; ++t) {
    registrars.emplace_back([&] {
      for (int i = 0; i < 2000 && !stop.load(); ++i) {
        const csys_status status = csys_shutdown_register(countRun, nullptr);
        if (status == CSYS_OK) {
          ++g_registeredDuringFinal;
        } else {
          EXPECT_EQ(status, CSYS_E_SHUT_DOWN);
          break;
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(shutDown(), CSYS_OK);
  stop = true;
  for (auto& thread : registrars) thread.join();
  // Every accepted registration ran; none ran twice.
  EXPECT_EQ(g_ranDuringFinal.load(), g_registeredDuringFinal.load());
  EXPECT_GT(g_ranDuringFinal.load(), 0);
}

TEST_F(ShutdownRegistry, LibraryTeardownsRunAndTheGlobalMutexIsGone) {
  int32_t flag = 0;
  ASSERT_EQ(csys_initializeOnce(countRun, nullptr, &flag), CSYS_OK);  // makes the global mutex
  int32_t leaks = 0;
  int32_t valid = 0;
  ASSERT_EQ(csys_cleanupReportLeaks(0, &leaks, &valid), CSYS_OK);  // makes cleanup tracking
  EXPECT_EQ(shutDown(), CSYS_OK);
  pmtsys_test::AssertCapture asserts;
  csys_mutex* global = nullptr;
  EXPECT_EQ(csys_mutex_getGlobal(&global), CSYS_E_FAIL);
  EXPECT_EQ(csys_cleanupReportLeaks(0, &leaks, &valid), CSYS_OK);
  EXPECT_EQ(valid, 0);
  const int32_t tag = csys_cleanup_getNextTag();
  EXPECT_EQ(csys_cleanup_getNextTag(), tag);  // frozen
}

}  // namespace
