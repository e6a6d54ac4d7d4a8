// The print output and its hooks, the diagnostic stream, the system-log hooks and the status
// nesting counters.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "csys_print.h"
#include "support/report_capture.h"

namespace {

FILE* g_hookStream = nullptr;
std::string g_hookText;
int g_flushCalls = 0;

int recordPrint(FILE* stream, const char* format, va_list args) {
  g_hookStream = stream;
  char buffer[256];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  g_hookText += buffer;
  return 0;
}

int recordFlush(FILE* stream) {
  g_hookStream = stream;
  ++g_flushCalls;
  return 0;
}

std::string readAll(FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

class Print : public ::testing::Test {
 protected:
  void TearDown() override {
    csys_printfASetHooks(nullptr);
    csys_printfSetOutput(nullptr);
  }
};

TEST_F(Print, HooksReplaceExactlyTheStepTheyName) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  csys_printfSetOutput(file);
  g_hookText.clear();
  g_flushCalls = 0;

  csys_printfAHooks hooks{reinterpret_cast<csys_printfAFlushHookFunc>(1), nullptr};
  ASSERT_EQ(csys_printfAHooks_init(&hooks), CSYS_OK);
  EXPECT_EQ(hooks.flushHook, nullptr);
  hooks.printHook = recordPrint;
  csys_printfASetHooks(&hooks);
  csys_printfA("hooked %s", "text");
  EXPECT_EQ(g_hookText, "hooked text");
  EXPECT_EQ(g_hookStream, file);
  EXPECT_EQ(readAll(file), "");  // the runtime's vfprintf did not run

  hooks = {recordFlush, nullptr};
  csys_printfASetHooks(&hooks);
  csys_printfA("plain %d", 7);
  EXPECT_EQ(g_flushCalls, 1);
  EXPECT_EQ(readAll(file), "plain 7");

  csys_printfASetHooks(nullptr);
  csys_printfA(" again");
  EXPECT_EQ(g_flushCalls, 1);
  EXPECT_EQ(readAll(file), "plain 7 again");
  csys_printfSetOutput(nullptr);  // back to the default
  FILE* output = nullptr;
  EXPECT_EQ(csys_printfGetOutput(&output), CSYS_OK);
  EXPECT_EQ(output, stdout);
  std::fclose(file);
}

std::string g_diagText;
int recordDiag(const char* text) {
  g_diagText = text;
  return 0;
}

TEST(DiagStream, FormatsCutsAndForwards) {
  cfDiagPrint2(0, "dropped %d", 1);  // nothing installed: formatted and discarded
  cfSetDiagStream(recordDiag);
  cfDiagPrint2(99, "diag %s %d", "line", 5);
  EXPECT_EQ(g_diagText, "diag line 5");
  const std::string longText(2000, 'd');
  cfDiagPrint2(0, "%s", longText.c_str());
  EXPECT_EQ(g_diagText, std::string(1023, 'd'));
  cfSetDiagStream(nullptr);
}

struct Event {
  uint32_t proxy, id;
  uintptr_t data;
};
Event g_event;
csys_status recordEvent(uint32_t proxy, uint32_t id, uintptr_t data) {
  g_event = {proxy, id, data};
  return CSYS_STATUS(0x80001234u);
}

TEST(SystemLog, ForwardsToInstalledFunctions) {
  EXPECT_EQ(csys_log_addSystemEvent(1, 2), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEventProxyID(1, 2, 3), CSYS_OK);
  ASSERT_EQ(csys_log_installSystemLog(recordEvent, recordEvent), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(11, 12), CSYS_STATUS(0x80001234u));
  EXPECT_EQ(g_event.proxy, 0u);  // the plain entry point passes proxy id 0
  EXPECT_EQ(g_event.id, 11u);
  EXPECT_EQ(g_event.data, 12u);
  csys_log_addSystemEventProxyID(21, 22, 23);
  EXPECT_EQ(g_event.proxy, 21u);
  ASSERT_EQ(csys_log_installSystemLog(nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(1, 2), CSYS_OK);
}

TEST(StatusCounters, AlternationIsCheckedAndReported) {
  pmtsys_test::AssertCapture asserts;
  testing::internal::CaptureStdout();
  csys_status_incrementCount_internal("first.c", 10, 1);
  csys_status_decrementCount_internal("first.c", 11, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(asserts.count(), 0u);

  testing::internal::CaptureStdout();
  csys_status_incrementCount_internal("second.c", 20, 1);
  csys_status_incrementCount_internal("third.c", 30, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "thisIncrementFile: third.c thisIncrementLine: 30\n"
            "lastIncrementFile: second.c lastIncrementLine: 20\n"
            "lastDecrementFile: first.c lastDecrementLine: 11\n"
            "incrementCount: 3\n");
  EXPECT_EQ(asserts.count(), 1u);

  // Level is 2 now: a checked decrement complains, an unchecked one just follows.
  testing::internal::CaptureStdout();
  csys_status_decrementCount_internal("fourth.c", 40, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "thisDecrementFile: fourth.c thisDecrementLine: 40\n"
            "lastIncrementFile: third.c lastIncrementLine: 30\n"
            "lastDecrementFile: first.c lastDecrementLine: 11\n"
            "decrementCount: 2\n");
  EXPECT_EQ(asserts.count(), 2u);
  testing::internal::CaptureStdout();
  csys_status_decrementCount_internal("fifth.c", 50, 0);
  csys_status_incrementCount_internal("sixth.c", 60, 1);  // level back at 0: quiet
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(asserts.count(), 2u);
}

}  // namespace
