// The print output and its hooks, the diagnostic stream, the system-log hooks and the status
// nesting counters: their exact texts and forwarded values.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <tuple>

#include "csys_print.h"
#include "support/report_capture.h"

namespace {

FILE* g_hookStream = nullptr;
std::string g_hooked, g_diag;
int g_flushes = 0;

std::string readAll(FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text += static_cast<char>(c);
  return text;
}

TEST(Print, HooksReplaceExactlyTheStepTheyName) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  csys_printfSetOutput(file);
  csys_printfAHooks hooks{reinterpret_cast<csys_printfAFlushHookFunc>(1), nullptr};
  ASSERT_EQ(csys_printfAHooks_init(&hooks), CSYS_OK);
  EXPECT_EQ(hooks.flushHook, nullptr);
  const csys_printfAPrintHookFunc print = [](FILE* stream, const char* format, va_list args) {
    char buffer[256];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    g_hooked += buffer;
    g_hookStream = stream;
    return 0;
  };
  const csys_printfAFlushHookFunc flush = [](FILE* stream) {
    return ++g_flushes, g_hookStream = stream, 0;
  };
  // The hooks of each print (null: none) and the file's text, the hooked text and the flushes
  // after it; the runtime's vfprintf writes only when no print hook is installed.
  const csys_printfAHooks printOnly{nullptr, print}, flushOnly{flush, nullptr};
  // clang-format off
  const struct { const csys_printfAHooks* hooks; const char *file, *hooked; int flushes; } rows[] = {
      {&printOnly, "", "text 0", 0}, {&flushOnly, "text 1", "text 0", 1},
      {nullptr, "text 1text 2", "text 0", 1}};
  // clang-format on
  for (int i = 0; i < 3; ++i) {
    g_hookStream = nullptr;
    csys_printfASetHooks(rows[i].hooks);
    EXPECT_EQ(csys_printfA("%s %d", "text", i), CSYS_OK);
    EXPECT_EQ(std::make_tuple(readAll(file), g_hooked, g_flushes),
              std::make_tuple(rows[i].file, rows[i].hooked, rows[i].flushes));
    EXPECT_EQ(g_hookStream, rows[i].hooks != nullptr ? file : nullptr);
  }
  csys_printfSetOutput(nullptr);  // back to the default
  FILE* output = nullptr;
  EXPECT_EQ(csys_printfGetOutput(&output), CSYS_OK);
  EXPECT_EQ(output, stdout);
  std::fclose(file);
}

TEST(DiagStream, FormatsCutsAndForwards) {
  cfDiagPrint2(0, "dropped %d", 1);  // nothing installed: formatted and discarded
  cfSetDiagStream([](const char* text) { return g_diag = text, 0; });
  cfDiagPrint2(99, "diag %s %d", "line", 5);
  EXPECT_EQ(g_diag, "diag line 5");
  cfDiagPrint2(0, "%s", std::string(2000, 'd').c_str());
  EXPECT_EQ(g_diag, std::string(1023, 'd'));
  cfSetDiagStream(nullptr);
}

TEST(SystemLog, ForwardsToInstalledFunctions) {
  static std::tuple<uint32_t, uint32_t, uintptr_t> event;
  const csys_log_systemEventFunc record = [](uint32_t proxy, uint32_t id, uintptr_t data) {
    event = {proxy, id, data};
    return CSYS_STATUS(0x80001234u);
  };
  EXPECT_EQ(csys_log_addSystemEvent(1, 2) | csys_log_addSystemEventProxyID(1, 2, 3), CSYS_OK);
  ASSERT_EQ(csys_log_installSystemLog(record, record), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(11, 12), CSYS_STATUS(0x80001234u));
  EXPECT_EQ(event, std::make_tuple(0u, 11u, uintptr_t{12}));  // the plain entry: proxy id 0
  csys_log_addSystemEventProxyID(21, 22, 23);
  EXPECT_EQ(event, std::make_tuple(21u, 22u, uintptr_t{23}));
  ASSERT_EQ(csys_log_installSystemLog(nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(1, 2), CSYS_OK);
}

// Increments and decrements must alternate; a checked call that breaks the rule prints both
// sides and asserts. An unchecked decrement just follows the level.
TEST(StatusCounters, AlternationIsCheckedAndReported) {
  pmtsys_test::AssertCapture asserts;
  // clang-format off
  const struct { bool increment; const char* file; uint32_t line; int32_t check;
                 const char* printed; size_t reports; } rows[] = {
      {true, "first.c", 10, 1, "", 0}, {false, "first.c", 11, 1, "", 0},
      {true, "second.c", 20, 1, "", 0},
      {true, "third.c", 30, 1, "thisIncrementFile: third.c thisIncrementLine: 30\n"
                               "lastIncrementFile: second.c lastIncrementLine: 20\n"
                               "lastDecrementFile: first.c lastDecrementLine: 11\n"
                               "incrementCount: 3\n", 1},
      {false, "fourth.c", 40, 1, "thisDecrementFile: fourth.c thisDecrementLine: 40\n"
                                 "lastIncrementFile: third.c lastIncrementLine: 30\n"
                                 "lastDecrementFile: first.c lastDecrementLine: 11\n"
                                 "decrementCount: 2\n", 2},
      {false, "fifth.c", 50, 0, "", 2}, {true, "sixth.c", 60, 1, "", 2}};  // level 0 again
  // clang-format on
  for (const auto& row : rows) {
    testing::internal::CaptureStdout();
    (row.increment ? csys_status_incrementCount_internal : csys_status_decrementCount_internal)(
        row.file, row.line, row.check);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.printed) << row.file;
    EXPECT_EQ(asserts.count(), row.reports) << row.file;
  }
}

}  // namespace
