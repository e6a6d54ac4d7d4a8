// Diagnostics' exact texts: assertion reports (location, version file, a loaded copy of the
// library), print output and its hooks, the diagnostic stream, system log and status counters.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <tuple>

#include "csys_assert.h"
#include "csys_print.h"
#include "diag/assert_internal.h"
#include "support/os_faults.h"
#include "support/pe_fixture.h"
#include "support/report_capture.h"

// The module in a report is the test program (the library is linked statically here, so no
// version file is found); a copy of the shared library is loaded to find one.
#if defined(_WIN32)
#include <windows.h>
#define PROGRAM "test_diag.exe:"
#define LIBRARY "pmtsys10_x64d.dll"
#else
#include <dlfcn.h>
#define PROGRAM "test_diag:"
#define LIBRARY "libpmtsys10_x64d.so"
#endif

namespace {

TEST(AssertReport, LocationAndVersionTextWithTheirFallbacks) {
  // (OS call to fail, version function, location pattern (null: no report, the function's
  // failure returned), version text); a long version text has no terminator and must be cut.
  // clang-format off
  const struct { void (*fault)(); cstd_AssertGetVersionAFunc version; const char* location;
                 std::string text; } cases[] = {
      {pmtsys_test::failModulePathLookup, nullptr, "0x[0-9a-f]+:0x[0-9a-f]+", " 0.0.0"},
      {pmtsys_test::failModuleLookup, [](char* b) { return b[0] = '\0', CSYS_OK; }, "0x0:0x[0-9a-f]+",
       "unknown version"},
      {nullptr, [](char* b) { return std::memset(b, 'v', CSTD_ASSERT_VERSION_CAPACITY), CSYS_OK; },
       PROGRAM ".*", std::string(CSTD_ASSERT_VERSION_CAPACITY - 1, 'v')},
      {nullptr, [](char*) { return CSYS_E_FAIL; }, nullptr, ""}};
  // clang-format on
  for (const auto& c : cases) {
    pmtsys_test::AssertCapture capture;
    if (c.fault != nullptr) c.fault();
    cstd_installAssertGetVersionAFunc_(c.version);
    const csys_status status = cstd_assert_(1234);
    cstd_installAssertGetVersionAFunc_(nullptr);
    pmtsys_test::restoreOsCalls();
    const auto reported =
        c.location != nullptr ? std::pair(CSYS_OK, size_t{1}) : std::pair(CSYS_E_FAIL, size_t{0});
    ASSERT_EQ(std::pair(status, capture.count()), reported);
    if (c.location == nullptr) continue;
    const auto report = capture.reports()[0];
    EXPECT_EQ(report.line, 1234u);
    EXPECT_TRUE(std::regex_match(report.location, std::regex(c.location))) << report.location;
    EXPECT_EQ(report.message, "Contact Tessaly Corporation for assistance (" + c.text + ")");
    if (c.fault == nullptr) {  // the code lies above the module's load address
      const size_t colon = report.location.find(':');
      EXPECT_GT(std::stoull(report.location.substr(report.location.rfind(':') + 3), nullptr, 16),
                std::stoull(report.location.substr(colon + 3), nullptr, 16));
    }
  }
}

// A loaded copy's report names this program and quotes the version file beside it (none at first).
TEST(AssertVersionFile, ALoadedCopyQuotesEveryPieceAndReadsInvalidOrMissingVersionsAsNone) {
  const std::string dir = pmtsys_test::makeTempDir();
  const std::string library = (std::filesystem::path(dir) / LIBRARY).string();
  std::filesystem::copy_file(PMTSYS_LIBRARY_FILE, library);
#if defined(_WIN32)
  const HMODULE handle = LoadLibraryA(library.c_str());
  void* symbol = reinterpret_cast<void*>(GetProcAddress(handle, "cstd_assert_"));
#else
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  void* symbol = handle != nullptr ? dlsym(handle, "cstd_assert_") : nullptr;
#endif
  ASSERT_NE(symbol, nullptr);
  // A long product name is cut with the text to the version's room.
  const std::pair<std::optional<pmtsys_test::VersionFixture>, std::string> cases[] = {
      {std::nullopt, " 0.0.0"},
      {{{{812, 10103, 4, 5}, {{"ProductName", "Orrin"}, {"SpecialBuild", "Prerelease"}}}},
       "Orrin 0.8.12 SR01 CR03 PR04 BLD05 Prerelease"},
      {{{{2345, 301, 0, 0}, {{"ProductName", "P"}, {"SpecialBuild", "1"}}}},
       "P 2.3.45 SR01 CR01 Prerelease"},
      {{{{1000, 205, 0, 0}, {{"ProductName", "P"}, {"SpecialBuild", "release"}}}}, "P 1.0.0 CR05"},
      {{{{1000, 112, 0, 7}, {{"SpecialBuild", "PRERELEASE"}}}}, " 1.0.0 SR12 BLD07 Prerelease"},
      {{{{1000, 499, 0, 0}, {{"SpecialBuild", "beta"}}}}, " 1.0.0"},
      {{{{1000, 20000, 1, 1}, {{"ProductName", "Gone"}}}}, " 0.0.0"},
      {{{{0, 0, 0, 0}, {{"ProductName", "Zero"}}}}, " 0.0.0"},
      {{{{1000, 0, 0, 0}, {{"ProductName", "NoFixed"}}, false}}, " 0.0.0"},  // no fixed info
      {{{{1000, 0, 0, 0}, {{"ProductName", std::string(300, 'n')}}}},
       std::string(CSTD_ASSERT_VERSION_CAPACITY - 1, 'n')},
  };
  for (const auto& [fixture, version] : cases) {
    if (fixture) {
      pmtsys_test::writeFile(
          dir + "/" + CSTD_ASSERT_VERSION_FILE,
          pmtsys_test::buildPeWithResource(pmtsys_test::buildVersionResource(*fixture)));
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(reinterpret_cast<csys_status (*)(uint32_t)>(symbol)(77), CSYS_OK);
    const std::string text =
        std::regex_replace(testing::internal::GetCapturedStderr(), std::regex("0x[0-9a-f]+"), "0x");
    const std::string expected = "Assertion failed: Contact Tessaly Corporation for assistance (" +
                                 version + "), file " PROGRAM "0x:0x, line 77";
    EXPECT_EQ(text.substr(0, expected.size()), expected);
  }
#if defined(_WIN32)
  FreeLibrary(handle);  // Windows deletes no loaded DLL
#endif
  std::filesystem::remove_all(dir);
}

std::string g_hooked, g_diag;

// The output goes to stderr, which the test captures; each hook notes whether it is handed it.
TEST(Print, HooksReplaceExactlyTheStepTheyName) {
  csys_printfSetOutput(stderr);
  csys_printfAHooks hooks{reinterpret_cast<csys_printfAFlushHookFunc>(1), nullptr};
  ASSERT_EQ(csys_printfAHooks_init(&hooks), CSYS_OK);
  EXPECT_EQ(hooks.flushHook, nullptr);
  const csys_printfAPrintHookFunc print = [](FILE* stream, const char* format, va_list args) {
    char buffer[256];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    g_hooked += (stream == stderr ? "" : "(another stream) ") + std::string(buffer);
    return 0;
  };
  const csys_printfAFlushHookFunc flush = [](FILE* stream) {
    return g_hooked += stream == stderr ? ", flushed" : ", another stream flushed", 0;
  };
  // The runtime's vfprintf writes only when no print hook is installed.
  const csys_printfAHooks printOnly{nullptr, print}, flushOnly{flush, nullptr};
  const std::tuple<const csys_printfAHooks*, std::string, std::string> rows[] = {
      {&printOnly, "", "text 0"},
      {&flushOnly, "text 1", "text 0, flushed"},
      {nullptr, "text 2", "text 0, flushed"}};
  for (int i = 0; i < 3; ++i) {
    const auto& [installed, output, hooked] = rows[i];
    csys_printfASetHooks(installed);
    testing::internal::CaptureStderr();
    EXPECT_EQ(csys_printfA("%s %d", "text", i), CSYS_OK);
    EXPECT_EQ(std::pair(testing::internal::GetCapturedStderr(), g_hooked),
              std::pair(output, hooked));
  }
  csys_printfSetOutput(nullptr);  // back to the default
  FILE* output = nullptr;
  EXPECT_EQ(csys_printfGetOutput(&output), CSYS_OK);
  EXPECT_EQ(output, stdout);
}

TEST(DiagStreamAndSystemLog, FormatAndForwardToWhatIsInstalled) {
  cfDiagPrint2(0, "dropped %d", 1);  // nothing installed: formatted and discarded
  cfSetDiagStream([](const char* text) { return g_diag = text, 0; });
  cfDiagPrint2(99, "diag %s %d", "line", 5);
  EXPECT_EQ(g_diag, "diag line 5");
  cfDiagPrint2(0, "%s", std::string(2000, 'd').c_str());
  EXPECT_EQ(g_diag, std::string(1023, 'd'));
  cfSetDiagStream(nullptr);
  static std::tuple<uint32_t, uint32_t, uintptr_t> event;
  const csys_log_systemEventFunc record = [](uint32_t proxy, uint32_t id, uintptr_t data) {
    return event = {proxy, id, data}, CSYS_STATUS(0x80001234u);
  };
  EXPECT_EQ(csys_log_addSystemEvent(1, 2) | csys_log_addSystemEventProxyID(1, 2, 3), CSYS_OK);
  ASSERT_EQ(csys_log_installSystemLog(record, record), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(11, 12), CSYS_STATUS(0x80001234u));
  EXPECT_EQ(event, std::make_tuple(0u, 11u, uintptr_t{12}));  // the plain entry: proxy id 0
  csys_log_addSystemEventProxyID(21, 22, 23);
  EXPECT_EQ(event, std::make_tuple(21u, 22u, uintptr_t{23}));
  EXPECT_EQ(csys_log_installSystemLog(nullptr, nullptr), CSYS_OK);
  EXPECT_EQ(csys_log_addSystemEvent(1, 2), CSYS_OK);  // with no log installed
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
