// Assertion reports: the location text, the version text and its fallbacks, and the way an
// installed version function can suppress a report.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "csys_assert.h"
#include "diag/assert_internal.h"
#include "support/os_faults.h"
#include "support/report_capture.h"

namespace {

csys_status failingVersion(char* /*buffer*/) {
  return CSYS_E_FAIL;
}
csys_status emptyVersion(char* buffer) {
  buffer[0] = '\0';
  return CSYS_OK;
}
csys_status longVersion(char* buffer) {
  std::memset(buffer, 'v', CSTD_ASSERT_VERSION_CAPACITY);  // no terminator: must be cut
  return CSYS_OK;
}

// The test program is the module (on Windows its file name keeps the ".exe"); addresses are in
// lower-case hexadecimal. The library is linked statically here, so no version file is found.
#if defined(_WIN32)
#define PROGRAM "test_diag\\.exe:"
#else
#define PROGRAM "test_diag:"
#endif

TEST(AssertReport, LocationAndVersionTextWithTheirFallbacks) {
  const struct {
    void (*fault)();
    cstd_AssertGetVersionAFunc version;
    const char* location;  // null: no report, the version function's failure returned
    std::string text;
  } cases[] = {
      {nullptr, nullptr, PROGRAM "0x[0-9a-f]+:0x[0-9a-f]+", " 0.0.0"},
      {pmtsys_test::failModulePathLookup, nullptr, "0x[0-9a-f]+:0x[0-9a-f]+", " 0.0.0"},
      {pmtsys_test::failModuleLookup, emptyVersion, "0x0:0x[0-9a-f]+", "unknown version"},
      {nullptr, longVersion, PROGRAM ".*", std::string(CSTD_ASSERT_VERSION_CAPACITY - 1, 'v')},
      {nullptr, failingVersion, nullptr, ""},
  };
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

TEST(AssertVersionFormat, CutToTheBuffer) {
  const std::string name(300, 'n');
  cstd_versionInfo info{};
  std::snprintf(info.productName, sizeof info.productName, "%s", name.c_str());
  char buffer[CSTD_ASSERT_VERSION_CAPACITY];
  cstd_assert_formatVersion(info, buffer, sizeof buffer);
  EXPECT_EQ(std::strlen(buffer), CSTD_ASSERT_VERSION_CAPACITY - 1);
}

}  // namespace
