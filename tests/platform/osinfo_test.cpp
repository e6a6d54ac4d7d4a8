// Classification of the OS's version answers, the host's record, and the retry after a refused
// version query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "cpuinfo_os_answers.h"
#include "csys_cpuinfo.h"
#include "platform/osinfo_internal.h"
#include "support/os_faults.h"

namespace {

TEST(OsInfo, VersionAnswersAreClassified) {
  const struct {
    os_versionInfo answer;
    uint32_t platform, kind;
    int32_t servicePack;
  } kCases[] = {
      {{5, 1, 2600, OS_VER_PLATFORM_WIN32_NT, "Service Pack 3"}, 1, 7, 3},
      {{5, 2, 3790, OS_VER_PLATFORM_WIN32_NT, "Service Pack 2"}, 1, 6, 2},
      {{5, 0, 2195, OS_VER_PLATFORM_WIN32_NT, "no digits"}, 1, 6, 0},
      {{4, 0, 1381, OS_VER_PLATFORM_WIN32_NT, "SP6a"}, 1, 5, 6},
      {{6, 1, 7601, OS_VER_PLATFORM_WIN32_NT, ""}, 1, 8, -1},
      {{10, 0, 19045, OS_VER_PLATFORM_WIN32_NT, ""}, 1, 0, -1},
      {{3, 51, 1057, OS_VER_PLATFORM_WIN32_NT, "Service Pack 5"}, 1, 0, -1},
      {{4, 0, 950, OS_VER_PLATFORM_WIN32_WINDOWS, "B"}, 1, 2, -1},
      {{4, 10, 2222, OS_VER_PLATFORM_WIN32_WINDOWS, ""}, 1, 3, -1},
      {{3, 10, 0, OS_VER_PLATFORM_WIN32S, ""}, 1, 1, -1},
      {{6, 18, 44, OS_VER_PLATFORM_POSIX, ""}, 2, 0, -1},
      {{0xFFFFFFFFu, 0, 0, OS_VER_PLATFORM_WIN32_NT, "Service Pack 99999999999"}, 1, 0, 0x7FFFFFFF},
  };
  for (const auto& expected : kCases) {
    csys_osinfo info{};
    csys_osinfo_fromVersion(expected.answer, &info);
    const os_versionInfo& answer = expected.answer;
    const csys_osinfo wanted{expected.platform,
                             expected.kind,
                             static_cast<int32_t>(std::min(answer.majorVersion, 0x7FFFFFFFu)),
                             static_cast<int32_t>(answer.minorVersion),
                             static_cast<int32_t>(answer.buildNumber),
                             expected.servicePack,
                             -1};
    EXPECT_EQ(std::memcmp(&info, &wanted, sizeof info), 0)
        << answer.majorVersion << "." << answer.minorVersion;
  }
}

TEST(OsInfo, HostRecord) {
  csys_osinfo info{};
  ASSERT_EQ(csys_osinfo_init(&info), CSYS_OK);
#if defined(_WIN32)
  EXPECT_EQ(info.platform, CSYS_OS_PLATFORM_WINDOWS);
#else
  EXPECT_EQ(info.platform, CSYS_OS_PLATFORM_POSIX);
  EXPECT_EQ(info.kind, CSYS_OS_KIND_UNCLASSIFIED);
  EXPECT_EQ(info.servicePack, -1);
#endif
  EXPECT_GT(info.major, 0);
  EXPECT_EQ(info.reserved, -1);
  EXPECT_EQ(csys_osinfo_reset(), CSYS_OK);
}

TEST(OsInfo, RefusedVersionQueryIsRetried) {
  pmtsys_test::failVersionQuery();
  csys_osinfo info{};
  info.kind = 99;
  EXPECT_EQ(csys_osinfo_init(&info), CSYS_E_FAIL);
  EXPECT_EQ(info.kind, 99u);
  pmtsys_test::restoreOsCalls();
  ASSERT_EQ(csys_osinfo_init(&info), CSYS_OK);
  EXPECT_EQ(info.reserved, -1);
}

}  // namespace
