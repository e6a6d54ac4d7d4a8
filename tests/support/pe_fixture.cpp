#include "support/pe_fixture.h"

#include <filesystem>
#include <fstream>
#include <random>

namespace pmtsys_test {
namespace {

constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kResourceRva = kSectionAlignment;  // .rsrc is the first and only section
constexpr uint32_t kVersionInSection = kPeVersionOffset - kPeResourceOffset;

uint32_t alignUp(size_t value, uint32_t alignment) {
  return static_cast<uint32_t>((value + alignment - 1) / alignment * alignment);
}

std::u16string utf16(const std::string& utf8) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<uint8_t>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k) {
      c = c << 6 | (static_cast<uint8_t>(utf8[i + k]) & 0x3Fu);
    }
    i += length;
    if (c >= 0x10000) {
      units += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      c = 0xDC00 + ((c - 0x10000) & 0x3FF);
    }
    units += static_cast<char16_t>(c);
  }
  return units;
}

// Little-endian output; node lengths are patched in once known.
class Bytes {
 public:
  void u8(uint8_t v) { bytes_.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
  }
  // The pointer-sized fields of the optional header.
  void word(PeFormat format, uint64_t v) {
    format == PeFormat::pe32Plus ? u64(v) : u32(static_cast<uint32_t>(v));
  }
  void raw(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  void padTo(size_t size) { bytes_.resize(size, 0); }
  void align4() { padTo(alignUp(bytes_.size(), 4)); }
  void text(const std::u16string& units) {
    for (const char16_t unit : units) u16(unit);
    u16(0);
  }
  void set16(size_t at, uint16_t v) {
    bytes_[at] = static_cast<uint8_t>(v);
    bytes_[at + 1] = static_cast<uint8_t>(v >> 8);
  }
  size_t size() const { return bytes_.size(); }
  std::vector<uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<uint8_t> bytes_;
};

// One version node: {wLength, wValueLength, wType, key, padding}, then whatever `body` writes
// (value, then children). Like a resource compiler, each node starts 4-aligned and its length
// leaves out trailing padding.
template <typename Body>
void node(Bytes& out, const std::string& key, uint16_t valueLength, uint16_t type, Body body) {
  out.align4();
  const size_t start = out.size();
  out.u16(0);
  out.u16(valueLength);
  out.u16(type);
  out.text(utf16(key));
  out.align4();
  body();
  out.set16(start, static_cast<uint16_t>(out.size() - start));
}

constexpr uint16_t kBinary = 0;
constexpr uint16_t kText = 1;

void fixedFileInfo(Bytes& out, const uint16_t (&version)[4]) {
  const uint32_t ms = static_cast<uint32_t>(version[0]) << 16 | version[1];
  const uint32_t ls = static_cast<uint32_t>(version[2]) << 16 | version[3];
  out.u32(0xFEEF04BD);  // signature
  out.u32(0x00010000);  // structure version 1.0
  out.u32(ms);          // file version
  out.u32(ls);
  out.u32(ms);  // product version
  out.u32(ls);
  out.u32(0x3F);     // flags mask
  out.u32(0);        // flags
  out.u32(0x40004);  // VOS_NT_WINDOWS32
  out.u32(2);        // VFT_DLL
  out.u32(0);        // subtype
  out.u32(0);        // date
  out.u32(0);
}

// A resource directory with one ID entry.
void directory(Bytes& out, uint32_t id, uint32_t target) {
  out.padTo(out.size() + 12);  // characteristics, time stamp, version
  out.u16(0);                  // name entries
  out.u16(1);                  // ID entries
  out.u32(id);
  out.u32(target);
}

}  // namespace

std::vector<uint8_t> buildVersionResource(const VersionFixture& fixture) {
  constexpr uint16_t kFixedInfoSize = 52;
  Bytes out;
  node(out, "VS_VERSION_INFO", fixture.withFixedInfo ? kFixedInfoSize : 0, kBinary, [&] {
    if (fixture.withFixedInfo) fixedFileInfo(out, fixture.fileVersion);
    node(out, "StringFileInfo", 0, kText, [&] {
      node(out, "040904B0", 0, kText, [&] {
        for (const auto& [key, value] : fixture.strings) {
          const std::u16string text = utf16(value);
          // Text values count UTF-16 units, terminator included.
          node(out, key, static_cast<uint16_t>(text.size() + 1), kText, [&] { out.text(text); });
        }
      });
    });
    node(out, "VarFileInfo", 0, kText, [&] {
      node(out, "Translation", 4, kBinary, [&] {
        out.u16(0x0409);  // U.S. English
        out.u16(1200);    // UTF-16
      });
    });
  });
  return out.take();
}

std::vector<uint8_t> buildPeWithResource(const std::vector<uint8_t>& versionResource,
                                         PeFormat format) {
  const bool plus = format == PeFormat::pe32Plus;
  const bool hasResource = !versionResource.empty();
  const uint32_t sectionSize =
      hasResource ? static_cast<uint32_t>(kVersionInSection + versionResource.size()) : 0;
  const uint32_t rawSize = alignUp(sectionSize, kFileAlignment);
  Bytes out;

  // DOS header: only the signature and the offset of the PE header matter.
  out.u16(0x5A4D);
  out.padTo(0x3C);
  out.u32(kPeHeaderOffset);

  // PE signature and file header.
  out.u32(0x00004550);
  out.u16(plus ? 0x8664 : 0x14C);  // AMD64 / i386
  out.u16(hasResource ? 1 : 0);    // sections
  out.u32(0);                      // time stamp
  out.u32(0);                      // symbol table
  out.u32(0);
  out.u16(plus ? 240 : 224);        // optional header size
  out.u16(plus ? 0x2022 : 0x2102);  // executable, DLL, large-address-aware / 32-bit

  // Optional header.
  out.u16(plus ? 0x20B : 0x10B);
  out.u8(14);  // linker version
  out.u8(0);
  out.u32(0);                                         // size of code
  out.u32(rawSize);                                   // size of initialized data
  out.u32(0);                                         // size of uninitialized data
  out.u32(0);                                         // entry point: none, a resource-only DLL
  out.u32(0);                                         // base of code
  if (!plus) out.u32(0);                              // base of data
  out.word(format, plus ? 0x180000000 : 0x10000000);  // image base
  out.u32(kSectionAlignment);
  out.u32(kFileAlignment);
  constexpr uint16_t kVersions[] = {6, 0, 0, 0, 6, 0};  // OS, image, subsystem
  for (const uint16_t version : kVersions) out.u16(version);
  out.u32(0);                                                            // Win32 version value
  out.u32(kSectionAlignment + alignUp(sectionSize, kSectionAlignment));  // size of image
  out.u32(kPeResourceOffset);                                            // size of headers
  out.u32(0);                                                            // checksum
  out.u16(2);                                                            // GUI subsystem
  out.u16(0);                                                            // DLL characteristics
  for (const uint64_t size : {0x100000, 0x1000, 0x100000, 0x1000}) out.word(format, size);
  out.u32(0);   // loader flags
  out.u32(16);  // data directories
  for (uint32_t i = 0; i < 16; ++i) {
    const bool resources = hasResource && i == 2;
    out.u32(resources ? kResourceRva : 0);
    out.u32(resources ? sectionSize : 0);
  }

  if (hasResource) {
    out.raw(".rsrc\0\0", 8);
    out.u32(sectionSize);
    out.u32(kResourceRva);
    out.u32(rawSize);
    out.u32(kPeResourceOffset);
    out.padTo(out.size() + 12);  // relocations, line numbers
    out.u32(0x40000040);         // initialized data, readable
  }
  out.padTo(kPeResourceOffset);

  if (hasResource) {
    // Type RT_VERSION -> name 1 -> language 0x409 -> data entry; subdirectory offsets have the
    // top bit set.
    constexpr uint32_t kSubdirectory = 0x80000000u;
    directory(out, 16, kSubdirectory | 0x18);
    directory(out, 1, kSubdirectory | 0x30);
    directory(out, 0x0409, kPeResourceDataEntryOffset - kPeResourceOffset);
    out.u32(kResourceRva + kVersionInSection);
    out.u32(static_cast<uint32_t>(versionResource.size()));
    out.u32(0);  // code page
    out.u32(0);
    out.raw(versionResource.data(), versionResource.size());
    out.padTo(kPeResourceOffset + rawSize);
  }
  return out.take();
}

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file.flush());
}

std::string makeTempDir() {
  std::random_device random;
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (;;) {
    const std::filesystem::path dir = base / ("pmtsys-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(dir)) return dir.string();
  }
}

}  // namespace pmtsys_test
