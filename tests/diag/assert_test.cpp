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

class AssertReport : public ::testing::Test {
 protected:
  void TearDown() override {
    cstd_installAssertGetVersionAFunc_(nullptr);
    pmtsys_test::restoreOsCalls();
  }
  pmtsys_test::AssertCapture capture_;
};

TEST_F(AssertReport, NamesModuleLoadAddressAndCodeAddress) {
  EXPECT_EQ(cstd_assert_(1234), CSYS_OK);
  ASSERT_EQ(capture_.count(), 1u);
  const auto report = capture_.reports()[0];
  EXPECT_EQ(report.line, 1234u);
  // The test program is the module (on Windows its file name keeps the ".exe"); both addresses
  // in lower-case hexadecimal.
#if defined(_WIN32)
  const std::regex location("test_diag\\.exe:0x[0-9a-f]+:0x[0-9a-f]+");
#else
  const std::regex location("test_diag:0x[0-9a-f]+:0x[0-9a-f]+");
#endif
  EXPECT_TRUE(std::regex_match(report.location, location)) << report.location;
  const auto load = std::stoull(report.location.substr(report.location.find(':') + 3), nullptr, 16);
  const auto code =
      std::stoull(report.location.substr(report.location.rfind(':') + 3), nullptr, 16);
  EXPECT_GT(code, load);
  // The library is linked statically here, so no version file is found.
  EXPECT_EQ(report.message, "Contact Tessaly Corporation for assistance ( 0.0.0)");
}

TEST_F(AssertReport, UnreadablePathDropsTheModuleName) {
  pmtsys_test::failModulePathLookup();
  char location[CSTD_ASSERT_LOCATION_CAPACITY];
  cstd_assert_getCodeLocation(reinterpret_cast<const void*>(&cstd_assert_), location,
                              sizeof location);
  EXPECT_TRUE(std::regex_match(location, std::regex("0x[0-9a-f]+:0x[0-9a-f]+"))) << location;
}

TEST_F(AssertReport, UnknownModuleAndUnknownVersionFallbacks) {
  pmtsys_test::failModuleLookup();
  cstd_installAssertGetVersionAFunc_(emptyVersion);
  cstd_assert_(7);
  ASSERT_EQ(capture_.count(), 1u);
  // Without a module the location still carries the code address.
  EXPECT_TRUE(std::regex_match(capture_.reports()[0].location, std::regex("0x0:0x[0-9a-f]+")));
  EXPECT_EQ(capture_.reports()[0].message,
            "Contact Tessaly Corporation for assistance (unknown version)");
}

TEST_F(AssertReport, FailingVersionFunctionSuppressesTheReport) {
  cstd_installAssertGetVersionAFunc_(failingVersion);
  EXPECT_EQ(cstd_assert_(9), CSYS_E_FAIL);
  EXPECT_EQ(capture_.count(), 0u);
  cstd_installAssertGetVersionAFunc_(nullptr);  // back to the built-in text
  EXPECT_EQ(cstd_assert_(9), CSYS_OK);
  ASSERT_EQ(capture_.count(), 1u);
  EXPECT_NE(capture_.reports()[0].message.find("( 0.0.0)"), std::string::npos);
}

TEST_F(AssertReport, OverlongVersionTextIsCut) {
  cstd_installAssertGetVersionAFunc_(longVersion);
  cstd_assert_(3);
  ASSERT_EQ(capture_.count(), 1u);
  const std::string expected = "Contact Tessaly Corporation for assistance (" +
                               std::string(CSTD_ASSERT_VERSION_CAPACITY - 1, 'v') + ")";
  EXPECT_EQ(capture_.reports()[0].message, expected);
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
