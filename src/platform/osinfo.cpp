// The OS version, read once per process and classified into the kinds callers branch on.
#include <algorithm>

#include "csys_cpuinfo.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "platform/osinfo_internal.h"

namespace {

csys_osinfo g_detected = {0, CSYS_OS_KIND_UNCLASSIFIED, -1, -1, -1, -1, -1};
int32_t g_once = 0;

uint32_t kindOf(const os_versionInfo& version) {
  switch (version.platformId) {
    case OS_VER_PLATFORM_WIN32S:
      return CSYS_OS_KIND_WIN32S;
    case OS_VER_PLATFORM_WIN32_WINDOWS:
      return version.minorVersion == 0 ? CSYS_OS_KIND_WIN95 : CSYS_OS_KIND_WIN98;
    case OS_VER_PLATFORM_WIN32_NT:
      if (version.majorVersion == 4) return CSYS_OS_KIND_NT4;
      if (version.majorVersion == 5) {
        return version.minorVersion == 1 ? CSYS_OS_KIND_NT51 : CSYS_OS_KIND_NT5;
      }
      return version.majorVersion == 6 ? CSYS_OS_KIND_NT6 : CSYS_OS_KIND_UNCLASSIFIED;
    default:
      return CSYS_OS_KIND_UNCLASSIFIED;
  }
}

// The number in a text such as "Service Pack 3"; 0 when it holds no digit, the largest value
// when it holds more digits than fit.
int32_t servicePackNumber(const char* text) {
  while (*text != '\0' && (*text < '0' || *text > '9')) ++text;
  int64_t number = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    number = std::min<int64_t>(number * 10 + (*text - '0'), INT32_MAX);
  }
  return static_cast<int32_t>(number);
}

int32_t versionNumber(uint32_t value) {
  return value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

csys_status detect(void*) {
  os_versionInfo version{};
  if (!os_getVersion(&version)) return CSYS_E_FAIL;
  csys_osinfo_fromVersion(version, &g_detected);
  return CSYS_OK;
}

}  // namespace

void csys_osinfo_fromVersion(const os_versionInfo& version, csys_osinfo* info) {
  info->platform = version.platformId == OS_VER_PLATFORM_POSIX ? CSYS_OS_PLATFORM_POSIX
                                                               : CSYS_OS_PLATFORM_WINDOWS;
  info->kind = kindOf(version);
  info->major = versionNumber(version.majorVersion);
  info->minor = versionNumber(version.minorVersion);
  info->build = versionNumber(version.buildNumber);
  info->servicePack = -1;
  if (version.platformId == OS_VER_PLATFORM_WIN32_NT && version.majorVersion >= 4 &&
      version.servicePack[0] != '\0') {
    info->servicePack = servicePackNumber(version.servicePack);
  }
  info->reserved = -1;
}

extern "C" {

CSYS_API csys_status csys_osinfo_init(csys_osinfo* info) {
  CSYS_CHECK(info != nullptr);
  if (info == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_RETURN_IF_FAILED(csys_initializeOnce(detect, nullptr, &g_once));
  *info = g_detected;
  return CSYS_OK;
}

// Nothing overrides the OS information: the reported record is always the detected one.
CSYS_API csys_status csys_osinfo_reset(void) {
  return CSYS_OK;
}

}  // extern "C"
