// Version files synthesized byte for byte: a VS_VERSIONINFO block laid out as a resource compiler
// lays it out, in a minimal DLL whose only section, .rsrc, holds it as RT_VERSION #1, 0x409.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pmtsys_test {

struct VersionFixture {
  uint16_t fileVersion[4] = {0, 0, 0, 0};  // FILEVERSION a,b,c,d, the product version too
  // Key/value pairs (UTF-8) of the string table "040904B0", in this order.
  std::vector<std::pair<std::string, std::string>> strings;
  bool withFixedInfo = true;  // false leaves out VS_FIXEDFILEINFO (the root value is then empty)
};

// Fixed info, StringFileInfo\040904B0 and VarFileInfo\Translation (0x0409, 1200).
std::vector<uint8_t> buildVersionResource(const VersionFixture& fixture);

enum class PeFormat { pe32Plus, pe32 };
// A whole DLL file holding `versionResource`; an empty one gives no sections and no resources.
std::vector<uint8_t> buildPeWithResource(const std::vector<uint8_t>& versionResource,
                                         PeFormat format = PeFormat::pe32Plus);

// File offsets in such an image, for tests that damage one structure.
inline constexpr size_t kPeHeaderOffset = 0x40;              // "PE\0\0", then the file header
inline constexpr size_t kPeResourceOffset = 0x200;           // root of the resource directory
inline constexpr size_t kPeResourceDataEntryOffset = 0x248;  // RVA, size, code page, reserved
inline constexpr size_t kPeVersionOffset = 0x258;            // the VS_VERSIONINFO block

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
// A new, empty directory under the system's temporary directory; the caller removes it.
std::string makeTempDir();

}  // namespace pmtsys_test
