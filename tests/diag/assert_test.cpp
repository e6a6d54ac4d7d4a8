// Assertion reports: the location text, the version text and its fallbacks, a version function
// that suppresses the report, the version file beside the library decoded piece by piece, and
// the report of a loaded copy of the shared library quoting its installed version.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <utility>

#include "csys_assert.h"
#include "diag/assert_internal.h"
#include "support/os_faults.h"
#include "support/pe_fixture.h"
#include "support/report_capture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

// The test program is the module (on Windows its file name keeps the ".exe"); addresses are in
// lower-case hexadecimal. The library is linked statically here, so no version file is found.
#if defined(_WIN32)
#define PROGRAM "test_diag\\.exe:"
#else
#define PROGRAM "test_diag:"
#endif

TEST(AssertReport, LocationAndVersionTextWithTheirFallbacks) {
  // (OS call to fail, version function, location pattern (null: no report, the function's
  // failure returned), version text); a long version text has no terminator and must be cut.
  // clang-format off
  const struct { void (*fault)(); cstd_AssertGetVersionAFunc version; const char* location;
                 std::string text; } cases[] = {
      {nullptr, nullptr, PROGRAM "0x[0-9a-f]+:0x[0-9a-f]+", " 0.0.0"},
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
    if (c.location == nullptr) {
      EXPECT_EQ(std::make_pair(status, capture.count()), std::make_pair(CSYS_E_FAIL, size_t{0}));
      continue;
    }
    ASSERT_EQ(std::make_pair(status, capture.count()), std::make_pair(CSYS_OK, size_t{1}));
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

using pmtsys_test::VersionFixture;

std::string versionTextOf(const VersionFixture& fixture) {
  const std::string dir = pmtsys_test::makeTempDir();
  const std::string file = dir + "/" + CSTD_ASSERT_VERSION_FILE;
  pmtsys_test::writeFile(
      file, pmtsys_test::buildPeWithResource(pmtsys_test::buildVersionResource(fixture)));
  cstd_versionInfo info{};
  EXPECT_EQ(cstd_assert_readVersionResource(file.c_str(), &info), CSYS_OK);
  char text[CSTD_ASSERT_VERSION_CAPACITY];
  cstd_assert_formatVersion(info, text, sizeof text);
  std::filesystem::remove_all(dir);
  return text;
}

TEST(AssertVersionFile, DecodesEveryPieceAndReadsInvalidOrMissingVersionsAsNone) {
  VersionFixture noFixedInfo{{1000, 0, 0, 0}, {{"ProductName", "NoFixed"}}};
  noFixedInfo.withFixedInfo = false;
  const std::pair<VersionFixture, const char*> cases[] = {
      {{{812, 10103, 4, 5}, {{"ProductName", "Orrin"}, {"SpecialBuild", "Prerelease"}}},
       "Orrin 0.8.12 SR01 CR03 PR04 BLD05 Prerelease"},
      {{{2345, 301, 0, 0}, {{"ProductName", "P"}, {"SpecialBuild", "1"}}},
       "P 2.3.45 SR01 CR01 Prerelease"},
      {{{1000, 205, 0, 0}, {{"ProductName", "P"}, {"SpecialBuild", "release"}}}, "P 1.0.0 CR05"},
      {{{1000, 112, 0, 7}, {{"SpecialBuild", "PRERELEASE"}}}, " 1.0.0 SR12 BLD07 Prerelease"},
      {{{1000, 499, 0, 0}, {{"SpecialBuild", "beta"}}}, " 1.0.0"},
      {{{1000, 20000, 1, 1}, {{"ProductName", "Gone"}}}, " 0.0.0"},
      {{{0, 0, 0, 0}, {{"ProductName", "Zero"}}}, " 0.0.0"},
      {noFixedInfo, " 0.0.0"},
  };
  for (const auto& [fixture, expected] : cases) EXPECT_EQ(versionTextOf(fixture), expected);
  cstd_versionInfo info{};
  EXPECT_EQ(cstd_assert_readVersionResource("/nonexistent/orrinversn64.dll", &info), CSYS_OK);
  EXPECT_EQ(info.versionWord, 0u);
  std::snprintf(info.productName, sizeof info.productName, "%s", std::string(300, 'n').c_str());
  char text[CSTD_ASSERT_VERSION_CAPACITY];
  cstd_assert_formatVersion(info, text, sizeof text);  // cut to the buffer
  EXPECT_EQ(std::strlen(text), CSTD_ASSERT_VERSION_CAPACITY - 1);
}

#if defined(_WIN32)
constexpr char kLibraryFile[] = "pmtsys10_x64d.dll";
constexpr char kProgramLocation[] = "file test_diag.exe:0x";
#else
constexpr char kLibraryFile[] = "libpmtsys10_x64d.so";
constexpr char kProgramLocation[] = "file test_diag:0x";
#endif

// A copy of the shared library loaded from a directory that holds a version file; Windows names
// the library without "lib" and the program with its ".exe".
TEST(AssertVersionFile, ReportOfTheLoadedLibraryQuotesTheInstalledVersion) {
  const std::string dir = pmtsys_test::makeTempDir();
  const std::string library = (std::filesystem::path(dir) / kLibraryFile).string();
  std::filesystem::copy_file(PMTSYS_LIBRARY_FILE, library);
  pmtsys_test::writeFile(
      dir + "/" + CSTD_ASSERT_VERSION_FILE,
      pmtsys_test::buildPeWithResource(pmtsys_test::buildVersionResource(
          {{812, 10103, 4, 5}, {{"ProductName", "Orrin"}, {"SpecialBuild", "Prerelease"}}})));
#if defined(_WIN32)
  const HMODULE handle = LoadLibraryA(library.c_str());
  ASSERT_NE(handle, nullptr) << GetLastError();
  auto assertFunc = reinterpret_cast<csys_status (*)(uint32_t)>(
      reinterpret_cast<void*>(GetProcAddress(handle, "cstd_assert_")));
#else
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  auto assertFunc = reinterpret_cast<csys_status (*)(uint32_t)>(dlsym(handle, "cstd_assert_"));
#endif
  ASSERT_NE(assertFunc, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(assertFunc(77), CSYS_OK);
  const std::string text = testing::internal::GetCapturedStderr();
  // The caller of cstd_assert_ is this test program, so the location names it.
  for (const char* part : {"Contact Tessaly Corporation for assistance (Orrin 0.8.12 SR01 CR03 "
                           "PR04 BLD05 Prerelease)",
                           kProgramLocation, "line 77"}) {
    EXPECT_NE(text.find(part), std::string::npos) << text;
  }
#if defined(_WIN32)
  FreeLibrary(handle);  // Windows deletes no loaded DLL
#endif
  std::filesystem::remove_all(dir);
}

}  // namespace
