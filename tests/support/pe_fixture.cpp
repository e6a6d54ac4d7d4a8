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
        out.add(0x0409, 2);  // U.S. English
        out.add(1200, 2);    // UTF-16
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
  Bytes out;
  // {offset, value, size}: DOS header; PE header (machine AMD64 / i386, sections, optional
  // header size, characteristics); optional header (magic, linker version, initialized data,
  // image base, section and file alignment, OS and subsystem versions, image and header sizes,
  // GUI subsystem, stack and heap sizes, data directories, directory 2: the resources). No entry
  // point: a resource-only DLL.
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
      {opt + 100 + 4 * w, size, 4}};
  // clang-format on
  for (const auto& [at, value, bytes] : fields) out.put(at, value, bytes);
  out.put(kPeResourceOffset - 1, 0, 1);
  if (!has) return out.b;
  // The .rsrc section header.
  out.put(sectionHeader, 0x637273722E, 8);  // ".rsrc"
  const uint32_t header[] = {size, kResourceRva, raw, kPeResourceOffset};
  for (size_t i = 0; i < 4; ++i) out.put(sectionHeader + 8 + 4 * i, header[i], 4);
  out.put(sectionHeader + 36, 0x40000040, 4);  // initialized data, readable
  // Type RT_VERSION -> name 1 -> language 0x409 -> data entry, one ID entry per directory;
  // subdirectory offsets have the top bit set.
  const uint32_t entries[][2] = {{16, 0x80000018u}, {1, 0x80000030u}, {0x0409, 0x48}};
  for (size_t i = 0; i < 3; ++i) {
    out.put(kPeResourceOffset + 24 * i + 14, 1, 2);
    out.put(kPeResourceOffset + 24 * i + 16, entries[i][0], 4);
    out.put(kPeResourceOffset + 24 * i + 20, entries[i][1], 4);
  }
  out.put(kPeResourceDataEntryOffset, kResourceRva + inSection, 4);
  out.put(kPeResourceDataEntryOffset + 4, versionResource.size(), 4);
  out.put(kPeResourceDataEntryOffset + 12, 0, 4);
  out.b.insert(out.b.end(), versionResource.begin(), versionResource.end());
  out.b.resize(kPeResourceOffset + raw);
  return out.b;
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

std::string makeTempDir() {
  std::random_device random;
  for (;;) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("pmtsys-" + std::to_string(random()));
    if (std::filesystem::create_directory(dir)) return dir.string();
  }
}

}  // namespace pmtsys_test
