// The built-in version text read from a real version file beside the library: decoding of the
// file version words, the "Prerelease" flag and the fallbacks, end to end through a loaded
// copy of the shared library, and directly through the reader.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

#include "csys_assert.h"
#include "diag/assert_internal.h"
#include "support/pe_fixture.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

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
}

// Windows names the library without "lib" and the program with its ".exe".
#if defined(_WIN32)
constexpr char kLibraryFile[] = "pmtsys10_x64d.dll";
constexpr char kProgramLocation[] = "file test_diag.exe:0x";
#else
constexpr char kLibraryFile[] = "libpmtsys10_x64d.so";
constexpr char kProgramLocation[] = "file test_diag:0x";
#endif

// Loads a copy of the shared library from a directory that holds a version file, and captures
// what its assertion report writes to standard error.
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
