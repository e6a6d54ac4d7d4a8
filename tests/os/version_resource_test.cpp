// Version resources of synthesized PE files where the core's tests (tests/diag) and the fuzz
// target do not reach: both image formats, key matching, values cut to the buffer, exact errors.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "os/os.h"
#if !defined(_WIN32)
#include "os/posix/syscalls.h"
#endif
#include "support/pe_fixture.h"

namespace {

using namespace pmtsys_test;

constexpr char kProductName[] = "\\StringFileInfo\\040904B0\\ProductName";

// U+00AE takes two bytes in UTF-8, U+1F600 (a surrogate pair) four.
const std::vector<uint8_t> kResource = buildVersionResource({{812, 10103, 4, 5},
                                                             {{"ProductName", "Orrin"},
                                                              {"SpecialBuild", "Prerelease"},
                                                              {"Comments", "a\u00AE\U0001F600"}}});

std::string query(const std::vector<uint8_t>& data, const char* path, size_t capacity = 64) {
  std::vector<char> buffer(capacity, 'x');
  return os_versionQueryString(data.data(), path, buffer.data(), capacity) ? buffer.data()
                                                                           : "<missing>";
}

class VersionResourceTest : public ::testing::Test {
 protected:
  void TearDown() override {
#if !defined(_WIN32)
    os_posixSyscallsReset();
#endif
    std::filesystem::remove_all(dir_);
  }

  // Writes `bytes` as the file, then reads `path_ + suffix` as a caller does, size first: empty
  // when both steps fail with `error` (the second given room for any block).
  std::vector<uint8_t> read(const std::vector<uint8_t>& bytes, uint32_t error,
                            const std::string& suffix = "") const {
    EXPECT_TRUE(writeFile(path_, bytes));
    const std::string path = path_ + suffix;
    os_setLastError(0);
    const uint32_t size = os_fileVersionInfoSize(path.c_str());
    EXPECT_EQ(size == 0 ? os_getLastError() : 0u, error);
    std::vector<uint8_t> data(size == 0 ? 4096 : size);
    os_setLastError(0);
    const bool read =
        os_fileVersionInfo(path.c_str(), static_cast<uint32_t>(data.size()), data.data());
    EXPECT_EQ(read ? 0u : os_getLastError(), error);
    if (size == 0 || !read) data.clear();
    return data;
  }

  const std::string dir_ = makeTempDir();
  const std::string path_ = dir_ + "/orrinversn64.dll";
};

// Values are UTF-8, cut whole characters at a time. The POSIX backend's own reader refuses
// damaged files (Windows's reader is version.dll's; Wine's crashes on some damaged files).
TEST_F(VersionResourceTest, MissingBothFormatsKeysValuesAndDamagedFiles) {
  EXPECT_TRUE(read({}, OS_ERROR_FILE_NOT_FOUND, ".none").empty());
  EXPECT_TRUE(read({}, OS_ERROR_PATH_NOT_FOUND, "/orrinversn64.dll").empty());  // a file as folder
  const char* comments = "\\StringFileInfo\\040904B0\\Comments";
  const std::tuple<const char*, size_t, std::string> cases[] = {
      {kProductName, 64, "Orrin"},
      {"\\stringfileinfo\\040904b0\\SPECIALBUILD", 64, "Prerelease"},
      {"\\StringFileInfo\\040704B0\\ProductName", 64, "<missing>"},
      {"\\StringFileInfo\\040904B0\\ProductNam", 64, "<missing>"},
      {kProductName, 1, ""},
      {comments, 64, "a\u00AE\U0001F600"},
      {comments, 3, "a"},
      {comments, 4, "a\u00AE"},
      {comments, 7, "a\u00AE"},
  };
  for (const auto format : {PeFormat::pe32Plus, PeFormat::pe32}) {
    std::vector<uint8_t> data = read(buildPeWithResource(kResource, format), 0);
    // Windows adds room for VerQueryValueA's conversion of the text to the ANSI code page.
    ASSERT_GE(data.size(), kResource.size());
    for (const auto& [path, capacity, expected] : cases) {
      EXPECT_EQ(query(data, path, capacity), expected) << path << " " << capacity;
    }
    EXPECT_TRUE(os_versionQueryString(data.data(), kProductName, nullptr, 0));
    os_fixedFileInfo info{};
    ASSERT_TRUE(os_versionQueryFixed(data.data(), &info));
    // The core checks the file version words.
    EXPECT_EQ(std::make_pair(info.productVersionMS, info.productVersionLS),
              std::make_pair(0x032C2777u, 0x00040005u));
    data[40] ^= 1;  // the signature follows the 40-byte root header
    EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
  }
#if !defined(_WIN32)
  const std::vector<uint8_t> valid = buildPeWithResource(kResource);
  constexpr size_t pe = kPeHeaderOffset, resources = kPeResourceOffset;
  constexpr size_t entry = kPeResourceDataEntryOffset, section = pe + 24 + 240;
  const auto damaged = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> file = valid;
    for (size_t i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return file;
  };
  const std::vector<uint8_t> files[] = {
      {},
      {'n', 'o', 't', ' ', 'P', 'E'},
      buildPeWithResource({}),               // no resource directory
      damaged(resources + 16, 6),            // resources, but none of type RT_VERSION (16)
      damaged(0x3C, 0xFFFFFFF0u),            // PE header offset past the end
      damaged(pe, 0x00004551u),              // PE signature
      damaged(pe + 24, 0x0000010Cu),         // optional header magic
      damaged(pe + 24 + 108, 2),             // directory count without resources
      damaged(pe + 4, 0x00008664u),          // section count 0
      damaged(resources + 20, 0x8000FFF0u),  // subdirectory past the end of the file
      damaged(resources + 68, 0x80000000u),  // language entry that is a directory
      damaged(entry, 0x00100000u),           // resource outside every section
      damaged(section + 8, 0x50),            // section that ends before the resource
      damaged(entry + 4, 0xFFFFFFF0u),       // resource larger than its section
      damaged(entry + 4, 100),               // resource smaller than its block
      damaged(kPeVersionOffset, 4),          // block length below a node header
  };
  for (const auto& file : files) {
    SCOPED_TRACE(&file - files);
    EXPECT_TRUE(read(file, OS_ERROR_RESOURCE_TYPE_NOT_FOUND).empty());
  }
  // A buffer one byte short is refused; so is a copy whose block changed after it was measured.
  ASSERT_FALSE(read(valid, 0).empty());
  std::vector<uint8_t> data(4096);
  os_setLastError(0);
  const auto shortSize = static_cast<uint32_t>(kResource.size() - 1);
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), shortSize, data.data()));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  static const decltype(os_sys.pread) systemPread = os_sys.pread;
  os_sys.pread = [](int fd, void* buffer, size_t count, off_t offset) {
    const ssize_t got = systemPread(fd, buffer, count, offset);
    if (count == kResource.size()) static_cast<uint8_t*>(buffer)[0] ^= 4;  // the block's length
    return got;
  };
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), 4096, data.data()));
#endif
}

}  // namespace
