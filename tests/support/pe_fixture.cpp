#include "support/pe_fixture.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <tuple>

namespace pmtsys_test {
namespace {

constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kResourceRva = kSectionAlignment;  // .rsrc is the first and only section
constexpr uint32_t kFileAlignment = 0x200;

uint32_t alignUp(size_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

// Little-endian output: appended, or written at an offset (growing the buffer as needed).
struct Bytes {
  std::vector<uint8_t> b;
  void put(size_t at, uint64_t value, size_t size) {
    if (b.size() < at + size) b.resize(at + size);
    for (size_t i = 0; i < size; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  void add(uint64_t value, size_t size) { put(b.size(), value, size); }
  void align4() { b.resize(alignUp(b.size(), 4)); }
  // UTF-8 in, UTF-16 with its terminator out; returns the units written.
  size_t text(const std::string& utf8) {
    const std::u16string units =
        std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).u16string();
    for (const char16_t unit : units) add(unit, 2);
    add(0, 2);
    return units.size() + 1;
  }
  // One node: {wLength, wValueLength, wType, key, padding}, then what `body` writes. Like a
  // resource compiler, each node starts 4-aligned and its length leaves out trailing padding.
  template <typename Body>
  void node(const std::string& key, uint16_t type, Body body) {
    align4();
    const size_t start = b.size();
    add(0, 6);
    put(start + 4, type, 2);
    text(key);
    align4();
    put(start + 2, body(), 2);  // the body gives the value length
    put(start, b.size() - start, 2);
  }
};

}  // namespace

std::vector<uint8_t> buildVersionResource(const VersionFixture& fixture) {
  const auto& v = fixture.fileVersion;
  const uint32_t ms = static_cast<uint32_t>(v[0]) << 16 | v[1], ls = uint32_t{v[2]} << 16 | v[3];
  Bytes out;
  out.node("VS_VERSION_INFO", 0, [&] {
    if (fixture.withFixedInfo) {
      // Signature, structure 1.0, file and product versions, flags mask, flags,
      // VOS_NT_WINDOWS32, VFT_DLL, subtype, date.
      for (const uint32_t field :
           {0xFEEF04BDu, 0x10000u, ms, ls, ms, ls, 0x3Fu, 0u, 0x40004u, 2u, 0u, 0u, 0u}) {
        out.add(field, 4);
      }
    }
    out.node("StringFileInfo", 1, [&] {
      out.node("040904B0", 1, [&] {
        for (const auto& [key, value] : fixture.strings) {
          out.node(key, 1, [&] { return out.text(value); });  // counts units, terminator too
        }
        return 0;
      });
      return 0;
    });
    out.node("VarFileInfo", 1, [&] {
      out.node("Translation", 0, [&] {
        out.add(1200 << 16 | 0x0409, 4);  // U.S. English, UTF-16
        return 4;
      });
      return 0;
    });
    return fixture.withFixedInfo ? 52 : 0;
  });
  return out.b;
}

std::vector<uint8_t> buildPeWithResource(const std::vector<uint8_t>& versionResource,
                                         PeFormat format) {
  const bool plus = format == PeFormat::pe32Plus, has = !versionResource.empty();
  const size_t w = plus ? 8 : 4;  // the pointer-sized fields of the optional header
  const uint32_t inSection = kPeVersionOffset - kPeResourceOffset;
  const uint32_t size = has ? static_cast<uint32_t>(inSection + versionResource.size()) : 0;
  const uint32_t raw = alignUp(size, kFileAlignment);
  constexpr size_t pe = kPeHeaderOffset, opt = pe + 24;
  const size_t sectionHeader = opt + (plus ? 240 : 224);
  constexpr size_t dir = kPeResourceOffset, data = kPeResourceDataEntryOffset;
  Bytes out;
  // {offset, value, size}: DOS, PE and optional headers (directory 2 the resources, no entry
  // point: a resource-only DLL), the .rsrc section header, and the resource tree RT_VERSION -> 1 ->
  // 0x409 -> data entry, one ID entry per directory, subdirectory offsets with the top bit set.
  // clang-format off
  const std::tuple<size_t, uint64_t, size_t> fields[] = {
      {0, 0x5A4D, 2}, {0x3C, pe, 4},
      {pe, 0x4550, 4}, {pe + 4, plus ? 0x8664 : 0x14C, 2}, {pe + 6, has ? 1 : 0, 2},
      {pe + 20, plus ? 240 : 224, 2}, {pe + 22, plus ? 0x2022 : 0x2102, 2},
      {opt, plus ? 0x20B : 0x10B, 2}, {opt + 2, 14, 1}, {opt + 8, raw, 4},
      {opt + (plus ? 24 : 28), plus ? 0x180000000 : 0x10000000, w},
      {opt + 32, kSectionAlignment, 4}, {opt + 36, kFileAlignment, 4},
      {opt + 40, 6, 2}, {opt + 48, 6, 2},
      {opt + 56, kResourceRva + alignUp(size, kSectionAlignment), 4},
      {opt + 60, kPeResourceOffset, 4}, {opt + 68, 2, 2},
      {opt + 72, 0x100000, w}, {opt + 72 + w, 0x1000, w},
      {opt + 72 + 2 * w, 0x100000, w}, {opt + 72 + 3 * w, 0x1000, w},
      {opt + 76 + 4 * w, 16, 4}, {opt + 96 + 4 * w, has ? kResourceRva : 0, 4},
      {opt + 100 + 4 * w, size, 4},
      {sectionHeader, 0x637273722E, 8}, {sectionHeader + 8, size, 4},
      {sectionHeader + 12, kResourceRva, 4}, {sectionHeader + 16, raw, 4},
      {sectionHeader + 20, kPeResourceOffset, 4}, {sectionHeader + 36, 0x40000040, 4},
      {dir + 14, 1, 2}, {dir + 16, 16, 4}, {dir + 20, 0x80000018u, 4},
      {dir + 38, 1, 2}, {dir + 40, 1, 4}, {dir + 44, 0x80000030u, 4},
      {dir + 62, 1, 2}, {dir + 64, 0x0409, 4}, {dir + 68, 0x48, 4},
      {data, kResourceRva + inSection, 4}, {data + 4, versionResource.size(), 4}};
  // clang-format on
  for (const auto& [at, value, bytes] : fields) {
    if (has || at < sectionHeader) out.put(at, value, bytes);  // no resource: the headers only
  }
  out.b.resize(kPeResourceOffset + raw);
  if (has) std::copy(versionResource.begin(), versionResource.end(), out.b.begin() + data + 16);
  return out.b;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

std::string makeTempDir() {
  for (std::random_device random;;) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("pmtsys-" + std::to_string(random()));
    if (std::filesystem::create_directory(dir)) return dir.string();
  }
}

}  // namespace pmtsys_test
