// The pieces of the assertion report, declared for white-box tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "csys_status.h"

inline constexpr size_t CSTD_ASSERT_LOCATION_CAPACITY = 512;
inline constexpr const char* CSTD_ASSERT_MODULE_BASE_NAME = "pmtsys10_x64d";
inline constexpr const char* CSTD_ASSERT_VERSION_FILE = "orrinversn64.dll";

// What the built-in reader finds in a version file: the packed words are
// versionWord = major<<24 | minor<<16 | sub<<8 | prerelease and
// releaseWord = SR<<24 | CR<<16 | PR<<8 | BLD.
struct cstd_versionInfo {
  char productName[256];
  uint32_t versionWord;
  uint32_t releaseWord;
};

// "module:0xload:0xcode", or "0xload:0xcode" when the module path cannot be read.
void cstd_assert_getCodeLocation(const void* codeAddress, char* buffer, size_t capacity);
// Reads the version resource of `fileName`; a missing or invalid version leaves `info` empty.
csys_status cstd_assert_readVersionResource(const char* fileName, cstd_versionInfo* info);
// "<product> major.minor.sub[ SRnn][ CRnn][ PRnn][ BLDnn][ Prerelease]", cut to capacity.
void cstd_assert_formatVersion(const cstd_versionInfo& info, char* buffer, size_t capacity);
// The built-in version text: the version file beside the loaded library module.
csys_status cstd_assert_getVersionDefault(char* buffer);
// The report of cstd_assert_ for a given code address.
csys_status cstd_assert_report(uint32_t line, const void* codeAddress);
