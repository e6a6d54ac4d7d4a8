// Version resources read from the PE file itself: DOS header -> PE headers -> resource directory
// -> RT_VERSION, first name, first language -> the VS_VERSIONINFO block, which is copied out
// unchanged and walked by the queries. Every offset and length in the file is untrusted, so each
// read is checked against the file, the section table and the enclosing node; a damaged file is
// simply "no version resource".
//
// Narrow text: the UTF-16 values are converted to UTF-8 (the narrow encoding on this platform);
// an unpaired surrogate becomes '?'. Results are cut at a character boundary to fit the buffer.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "os/os.h"
#include "os/posix/last_error.h"
#include "os/posix/syscalls.h"

namespace {

constexpr uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kPe32Directories = 96;  // offset of the data directories in the optional header
constexpr size_t kPe32PlusDirectories = 112;
constexpr uint32_t kResourceDirectory = 2;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kRtVersion = 16;
constexpr uint32_t kSubdirectoryBit = 0x80000000u;
constexpr size_t kNodeHeaderSize = 6;  // wLength, wValueLength, wType
constexpr uint16_t kTextType = 1;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoSize = 52;

// Little-endian fields at any alignment.
uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(get16(p)) | static_cast<uint32_t>(get16(p + 2)) << 16;
}

// A read-only file; a read fails unless every byte asked for is there.
class File {
 public:
  explicit File(const char* path) : fd_(os_sys.open(path, O_RDONLY | O_CLOEXEC, 0)) {}
  ~File() {
    if (fd_ >= 0) os_sys.close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  bool isOpen() const { return fd_ >= 0; }

  bool read(uint64_t offset, void* out, size_t length) const {
    const ssize_t got = os_sys.pread(fd_, out, length, static_cast<off_t>(offset));
    return got >= 0 && static_cast<size_t>(got) == length;
  }

 private:
  int fd_;
};

// The file bytes an RVA maps to, up to the end of its section.
struct Span {
  uint64_t offset;
  uint64_t length;
};

// The section table: maps an RVA to the file bytes from there to the end of its section.
struct Sections {
  const File& file;
  uint64_t table;
  uint16_t count;

  std::optional<Span> find(uint64_t rva) const {
    for (uint16_t i = 0; i < count; ++i) {
      uint8_t header[kSectionHeaderSize];
      if (!file.read(table + uint64_t{i} * kSectionHeaderSize, header, sizeof header)) break;
      const uint32_t virtualSize = get32(header + 8);
      const uint32_t address = get32(header + 12);
      const uint32_t rawSize = get32(header + 16);
      // Raw data past the virtual size is file-alignment padding, not part of the image.
      const uint32_t mapped = virtualSize != 0 ? std::min(virtualSize, rawSize) : rawSize;
      if (rva >= address && rva - address < mapped) {
        return Span{get32(header + 20) + (rva - address), mapped - (rva - address)};
      }
    }
    return std::nullopt;
  }
};

// The resource tree: directories whose entry offsets are relative to its root.
struct ResourceTree {
  const File& file;
  uint64_t root;

  bool read(uint64_t offset, void* out, size_t length) const {
    return file.read(root + offset, out, length);
  }

  // The target word of the directory entry with ID `id`, or of the first entry when no ID is
  // given (name entries come before ID entries).
  std::optional<uint32_t> entry(uint32_t directory, std::optional<uint16_t> id) const {
    uint8_t header[16];
    if (!read(directory, header, sizeof header)) return std::nullopt;
    const uint32_t named = get16(header + 12);
    const uint32_t end = named + get16(header + 14);
    for (uint32_t i = id ? named : 0; i < end; ++i) {
      uint8_t item[8];
      if (!read(uint64_t{directory} + 16 + uint64_t{i} * 8, item, sizeof item)) break;
      if (!id || get32(item) == *id) return get32(item + 4);
    }
    return std::nullopt;
  }
};

// Where the VS_VERSIONINFO block lies: its file offset, the resource size, and the block's own
// length (its first word), which is never more than the resource size.
struct VersionResource {
  uint64_t offset;
  uint32_t resourceSize;
  uint16_t blockLength;
};

std::optional<VersionResource> findVersionResource(const File& file) {
  uint8_t dos[64];
  if (!file.read(0, dos, sizeof dos) || get16(dos) != kDosSignature) return std::nullopt;
  const uint64_t pe = get32(dos + 0x3C);
  uint8_t fileHeader[24];  // signature + IMAGE_FILE_HEADER
  if (!file.read(pe, fileHeader, sizeof fileHeader) || get32(fileHeader) != kPeSignature) {
    return std::nullopt;
  }
  const uint16_t optionalSize = get16(fileHeader + 20);
  const uint64_t optional = pe + sizeof fileHeader;

  uint8_t magic[2];
  if (optionalSize < sizeof magic || !file.read(optional, magic, sizeof magic)) return std::nullopt;
  size_t directories = 0;
  if (get16(magic) == kPe32PlusMagic) directories = kPe32PlusDirectories;
  if (get16(magic) == kPe32Magic) directories = kPe32Directories;
  // NumberOfRvaAndSizes sits just before the directories.
  uint8_t header[kPe32PlusDirectories + (kResourceDirectory + 1) * 8];
  const size_t needed = directories + (kResourceDirectory + 1) * 8;
  if (directories == 0 || optionalSize < needed || !file.read(optional, header, needed) ||
      get32(header + directories - 4) <= kResourceDirectory) {
    return std::nullopt;
  }
  const uint32_t rootRva = get32(header + directories + kResourceDirectory * 8);
  if (rootRva == 0 || get32(header + directories + kResourceDirectory * 8 + 4) == 0) {
    return std::nullopt;
  }

  const Sections sections{file, optional + optionalSize, get16(fileHeader + 6)};
  const std::optional<Span> root = sections.find(rootRva);
  if (!root) return std::nullopt;
  const ResourceTree tree{file, root->offset};
  // Type RT_VERSION, then its first name, then that name's first language: a data entry.
  constexpr std::optional<uint16_t> kPath[] = {kRtVersion, std::nullopt, std::nullopt};
  uint32_t target = kSubdirectoryBit;
  for (const std::optional<uint16_t> id : kPath) {
    if ((target & kSubdirectoryBit) == 0) return std::nullopt;
    const std::optional<uint32_t> next = tree.entry(target & ~kSubdirectoryBit, id);
    if (!next) return std::nullopt;
    target = *next;
  }
  uint8_t dataEntry[16];  // RVA, size, code page, reserved
  if ((target & kSubdirectoryBit) != 0 || !tree.read(target, dataEntry, sizeof dataEntry)) {
    return std::nullopt;
  }
  const uint32_t size = get32(dataEntry + 4);
  const std::optional<Span> data = sections.find(get32(dataEntry));
  // The section table may claim more than the file holds: the whole resource must be there, or
  // a damaged file would have callers allocate what it cannot fill.
  uint8_t length[2];
  uint8_t last = 0;
  if (!data || size > data->length || !file.read(data->offset, length, sizeof length) ||
      !file.read(data->offset + size - 1, &last, 1)) {
    return std::nullopt;
  }
  if (get16(length) < kNodeHeaderSize || get16(length) > size) return std::nullopt;
  return VersionResource{data->offset, size, get16(length)};
}

// Opens the file, finds its version resource and hands both to `use`, which returns a last-error
// value. Any failure becomes the calling thread's last error.
template <typename Use>
bool withVersionResource(const char* fileName, Use use) {
  uint32_t error = OS_ERROR_INVALID_PARAMETER;
  if (fileName != nullptr) {
    const File file(fileName);
    if (!file.isOpen()) {
      error = os_posix::windowsError(errno);
    } else if (const std::optional<VersionResource> resource = findVersionResource(file)) {
      error = use(file, *resource);
    } else {
      error = OS_ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
  }
  if (error != OS_ERROR_SUCCESS) os_setLastError(error);
  return error == OS_ERROR_SUCCESS;
}

// One node of a VS_VERSIONINFO block, as offsets into the block: {wLength, wValueLength, wType,
// key, padding, value, padding, children}. The block starts 4-aligned, so padding rounds offsets.
struct Node {
  const uint8_t* block;
  size_t begin;
  size_t end;
  size_t keyLength;  // UTF-16 units, without the terminator
  size_t value;
  size_t valueEnd;

  size_t children() const { return std::min(align(valueEnd), end); }
  static size_t align(size_t offset) { return (offset + 3) & ~size_t{3}; }

  // A node at `begin` that must end by `limit`; nothing outside that range is read.
  static std::optional<Node> at(const uint8_t* block, size_t begin, size_t limit) {
    if (limit - begin < kNodeHeaderSize) return std::nullopt;
    const size_t length = get16(block + begin);
    if (length < kNodeHeaderSize || length > limit - begin) return std::nullopt;
    Node node{block, begin, begin + length, 0, 0, 0};
    const size_t key = begin + kNodeHeaderSize;
    for (;; ++node.keyLength) {
      const size_t unit = key + 2 * node.keyLength;
      if (node.end - unit < 2) return std::nullopt;  // no terminator inside the node
      if (get16(block + unit) == 0) break;
    }
    node.value = std::min(align(key + 2 * node.keyLength + 2), node.end);
    // Text values count UTF-16 units, binary ones bytes.
    const size_t unitSize = get16(block + begin + 4) == kTextType ? 2 : 1;
    node.valueEnd =
        node.value + std::min(get16(block + begin + 2) * unitSize, node.end - node.value);
    return node;
  }

  // ASCII case-insensitive comparison of the key with `name[0..length)`.
  bool keyIs(const char* name, size_t length) const {
    if (keyLength != length) return false;
    const auto fold = [](uint32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; };
    for (size_t i = 0; i < length; ++i) {
      if (fold(get16(block + begin + kNodeHeaderSize + 2 * i)) !=
          fold(static_cast<unsigned char>(name[i]))) {
        return false;
      }
    }
    return true;
  }

  std::optional<Node> child(const char* name, size_t length) const {
    for (size_t offset = children(); offset < end;) {
      const std::optional<Node> node = at(block, offset, end);
      if (!node) break;
      if (node->keyIs(name, length)) return node;
      offset = align(node->end);
    }
    return std::nullopt;
  }
};

// The node a path such as "\StringFileInfo\040904B0\ProductName" names; "\" is the root.
std::optional<Node> findNode(const void* data, const char* path) {
  if (data == nullptr || path == nullptr) return std::nullopt;
  const auto* block = static_cast<const uint8_t*>(data);
  std::optional<Node> node = Node::at(block, 0, get16(block));
  constexpr char kRootKey[] = "VS_VERSION_INFO";
  if (!node || !node->keyIs(kRootKey, sizeof kRootKey - 1)) return std::nullopt;
  while (node && *path != '\0') {
    if (*path == '\\') {
      ++path;
      continue;
    }
    const size_t length = std::strcspn(path, "\\");
    node = node->child(path, length);
    path += length;
  }
  return node;
}

size_t encodeUtf8(uint32_t c, char* out) {
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  size_t length = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  constexpr uint8_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (size_t i = length - 1; i > 0; --i, c >>= 6) out[i] = static_cast<char>(0x80 | (c & 0x3F));
  out[0] = static_cast<char>(kLead[length] | c);
  return length;
}

// UTF-16 text (up to its terminator) to UTF-8, cut at a character boundary to fit `capacity`
// bytes with the terminator. `capacity` is at least 1.
void toUtf8(const uint8_t* text, size_t units, char* buffer, size_t capacity) {
  size_t used = 0;
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = get16(text + 2 * i);
    if (c == 0) break;
    const bool high = c >= 0xD800 && c < 0xDC00;
    const uint32_t next = i + 1 < units ? get16(text + 2 * i + 2) : 0;
    if (high && next >= 0xDC00 && next < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c < 0xE000) {
      c = '?';
    }
    char encoded[4];
    const size_t length = encodeUtf8(c, encoded);
    if (length >= capacity - used) break;
    std::memcpy(buffer + used, encoded, length);
    used += length;
  }
  buffer[used] = '\0';
}

}  // namespace

// The size is that of the resource itself (at least the VS_VERSIONINFO block that
// os_fileVersionInfo copies), not the larger figure Windows adds for its own conversions.
uint32_t os_fileVersionInfoSize(const char* fileName) {
  uint32_t size = 0;
  withVersionResource(fileName, [&size](const File&, const VersionResource& resource) {
    size = resource.resourceSize;
    return OS_ERROR_SUCCESS;
  });
  return size;
}

// Copies the raw VS_VERSIONINFO block; its first word, the block length, bounds every query.
bool os_fileVersionInfo(const char* fileName, uint32_t size, void* data) {
  return withVersionResource(fileName, [=](const File& file, const VersionResource& resource) {
    if (data == nullptr || size < resource.blockLength) return OS_ERROR_INVALID_PARAMETER;
    // The file may have changed since it was measured: the copy must still carry that length.
    if (!file.read(resource.offset, data, resource.blockLength) ||
        get16(static_cast<const uint8_t*>(data)) != resource.blockLength) {
      return OS_ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
    return OS_ERROR_SUCCESS;
  });
}

bool os_versionQueryFixed(const void* data, os_fixedFileInfo* info) {
  const std::optional<Node> root = findNode(data, "\\");
  if (!root || info == nullptr || root->valueEnd - root->value < kFixedInfoSize) return false;
  const uint8_t* fixed = root->block + root->value;
  if (get32(fixed) != kFixedInfoSignature) return false;
  *info = {get32(fixed + 8), get32(fixed + 12), get32(fixed + 16), get32(fixed + 20)};
  return true;
}

// `buffer` may be null when `bufferCapacity` is 0: the result then only tells whether the
// value exists.
bool os_versionQueryString(const void* data, const char* subBlock, char* buffer,
                           size_t bufferCapacity) {
  const std::optional<Node> node = findNode(data, subBlock);
  if (!node) return false;
  if (bufferCapacity > 0) {
    toUtf8(node->block + node->value, (node->valueEnd - node->value) / 2, buffer, bufferCapacity);
  }
  return true;
}
