// Version resources of synthesized PE files. The core's tests (tests/diag) read the fixed version
// and two strings of a well-formed PE32+ file; these cover PE32, key matching, values cut to the
// buffer, and the answer to missing, foreign, damaged and truncated files: "no version", never a
// crash or a read outside the data.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "os/os.h"
#if !defined(_WIN32)
#include "os/posix/syscalls.h"
#endif
#include "support/pe_fixture.h"

namespace {

using pmtsys_test::buildPeWithResource;
using pmtsys_test::buildVersionResource;

constexpr char kProductName[] = "\\StringFileInfo\\040904B0\\ProductName";

// U+00AE takes two bytes in UTF-8, U+1F600 (a surrogate pair) four.
pmtsys_test::VersionFixture orrin() {
  return {{812, 10103, 4, 5},
          {{"ProductName", "Orrin Test Product"},
           {"SpecialBuild", "Prerelease"},
           {"Comments", "a\u00AE\U0001F600"}}};
}

std::string query(const std::vector<uint8_t>& data, const char* path, size_t capacity = 64) {
  std::vector<char> buffer(capacity, 'x');
  if (!os_versionQueryString(data.data(), path, buffer.data(), capacity)) return "<missing>";
  return buffer.data();
}

class VersionResourceTest : public ::testing::Test {
 protected:
  void TearDown() override {
#if !defined(_WIN32)
    os_posixSyscallsReset();
#endif
    std::filesystem::remove_all(dir_);
  }

  void write(const std::vector<uint8_t>& bytes) const {
    ASSERT_TRUE(pmtsys_test::writeFile(path_, bytes));
  }

  // Size, then the data as a caller reads it; empty when either step fails.
  std::vector<uint8_t> read() const {
    const uint32_t size = os_fileVersionInfoSize(path_.c_str());
    std::vector<uint8_t> data(size);
    if (size == 0 || !os_fileVersionInfo(path_.c_str(), size, data.data())) data.clear();
    return data;
  }

  // Both calls fail with `error`, even given room for any block.
  void expectNoVersion(uint32_t error, const std::string& path) const {
    std::vector<uint8_t> data(4096);
    os_setLastError(0);
    EXPECT_EQ(os_fileVersionInfoSize(path.c_str()), 0u);
    EXPECT_EQ(os_getLastError(), error);
    os_setLastError(0);
    EXPECT_FALSE(os_fileVersionInfo(path.c_str(), 4096, data.data()));
    EXPECT_EQ(os_getLastError(), error);
  }

  const std::string dir_ = pmtsys_test::makeTempDir();
  const std::string path_ = dir_ + "/orrinversn64.dll";
};

TEST_F(VersionResourceTest, MissingFilesAndBothImageFormats) {
  expectNoVersion(OS_ERROR_FILE_NOT_FOUND, path_);
  write({});
  expectNoVersion(OS_ERROR_PATH_NOT_FOUND, path_ + "/orrinversn64.dll");  // a file as directory
  const std::vector<uint8_t> resource = buildVersionResource(orrin());
  for (const auto format : {pmtsys_test::PeFormat::pe32Plus, pmtsys_test::PeFormat::pe32}) {
    write(buildPeWithResource(resource, format));
    // Windows adds room for VerQueryValueA's conversion of the text to the ANSI code page.
    EXPECT_GE(os_fileVersionInfoSize(path_.c_str()), resource.size());
    const std::vector<uint8_t> data = read();
    ASSERT_FALSE(data.empty());
    os_fixedFileInfo info{};
    ASSERT_TRUE(os_versionQueryFixed(data.data(), &info));
    EXPECT_EQ(info.productVersionMS, 0x032C2777u);  // the core checks the file version words
    EXPECT_EQ(info.productVersionLS, 0x00040005u);
    EXPECT_EQ(query(data, kProductName), "Orrin Test Product");
  }
}

// Keys match without regard to case; values are UTF-8, cut whole characters at a time to fit.
// Fixed information must carry its signature (the core's tests leave it out altogether).
TEST(VersionQueryOs, KeysValuesAndFixedInfo) {
  std::vector<uint8_t> data = buildVersionResource(orrin());
  const char* comments = "\\StringFileInfo\\040904B0\\Comments";
  const std::tuple<const char*, size_t, std::string> cases[] = {
      {"\\stringfileinfo\\040904b0\\SPECIALBUILD", 64, "Prerelease"},
      {"\\StringFileInfo\\040704B0\\ProductName", 64, "<missing>"},
      {"\\StringFileInfo\\040904B0\\ProductNam", 64, "<missing>"},
      {kProductName, 1, ""},
      {comments, 64, "a\u00AE\U0001F600"},
      {comments, 3, "a"},
      {comments, 4, "a\u00AE"},
      {comments, 7, "a\u00AE"},
  };
  for (const auto& [path, capacity, expected] : cases) {
    EXPECT_EQ(query(data, path, capacity), expected) << path << " " << capacity;
  }
  // A capacity of 0 only tells whether the value exists.
  EXPECT_TRUE(os_versionQueryString(data.data(), kProductName, nullptr, 0));
  os_fixedFileInfo info{};
  data[40] ^= 1;  // the signature follows the 40-byte root header
  EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
}

// The rest checks the POSIX backend's own PE reader. On Windows the reader is version.dll's:
// Wine's crashes on some damaged files, reports 1812 where this reader reports 1813, does not
// check the root key, and GetFileVersionInfoA fills a short buffer as far as it goes.
#if !defined(_WIN32)
// Foreign files and damaged headers have no version; every byte of the rest is the fuzzer's. Of
// the prefixes of a file whose resource claims the rest of its section, only those that hold the
// section have one: a resource the file lacks would have callers allocate what it cannot fill.
TEST_F(VersionResourceTest, ForeignTruncatedAndDamagedFiles) {
  const std::vector<uint8_t> resource = buildVersionResource(orrin());
  const std::vector<uint8_t> valid = buildPeWithResource(resource);
  const size_t pe = pmtsys_test::kPeHeaderOffset, resources = pmtsys_test::kPeResourceOffset;
  const size_t dataEntry = pmtsys_test::kPeResourceDataEntryOffset;
  const size_t block = pmtsys_test::kPeVersionOffset;
  // An empty file, a text file, an image without a resource directory.
  std::vector<std::vector<uint8_t>> files = {
      {}, {'n', 'o', 't', ' ', 'P', 'E'}, buildPeWithResource({})};
  const std::pair<size_t, uint32_t> damages[] = {
      {resources + 16, 6},            // resources, but none of type RT_VERSION (16)
      {0x3C, 0xFFFFFFF0u},            // PE header offset past the end
      {pe, 0x00004551u},              // PE signature
      {pe + 24, 0x0000010Cu},         // optional header magic
      {pe + 24 + 108, 2},             // directory count without resources
      {pe + 4, 0x00008664u},          // section count 0
      {resources + 20, 0x8000FFF0u},  // subdirectory past the end of the file
      {resources + 68, 0x80000000u},  // language entry that is a directory
      {dataEntry, 0x00100000u},       // resource outside every section
      {pe + 24 + 240 + 8, 0x50},      // section that ends before the resource
      {dataEntry + 4, 0xFFFFFFF0u},   // resource larger than its section
      {dataEntry + 4, 100},           // resource smaller than its block
      {block, 4},                     // block length below a node header
  };
  for (const auto& [at, value] : damages) {
    files.push_back(valid);
    for (size_t i = 0; i < 4; ++i) files.back()[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  for (size_t i = 0; i < files.size(); ++i) {
    SCOPED_TRACE(i);
    write(files[i]);
    expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND, path_);
  }
  std::vector<uint8_t> whole = valid;
  const size_t sectionEnd = resources + *reinterpret_cast<const uint32_t*>(&valid[pe + 24 + 248]);
  const auto rest = static_cast<uint32_t>(sectionEnd - block);
  for (size_t i = 0; i < 4; ++i) whole[dataEntry + 4 + i] = static_cast<uint8_t>(rest >> (8 * i));
  for (size_t length = 0; length <= whole.size(); ++length) {
    write({whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length)});
    const std::vector<uint8_t> data = read();
    ASSERT_EQ(!data.empty(), length >= sectionEnd) << length;
  }
  EXPECT_EQ(query(read(), kProductName), "Orrin Test Product");
}

decltype(os_sys.pread) systemPread = nullptr;
size_t changedReadSize = 0;  // reads of this size see a block length other than the first read's
ssize_t changingPread(int fd, void* buffer, size_t count, off_t offset) {
  const ssize_t got = systemPread(fd, buffer, count, offset);
  if (count == changedReadSize) static_cast<uint8_t*>(buffer)[0] ^= 4;
  return got;
}

// A buffer one byte short is refused; so is a copy whose block changed after it was measured.
// (The fault sweep fails each read in turn.)
TEST_F(VersionResourceTest, ShortBufferAndChangedFilesAreRefused) {
  const std::vector<uint8_t> resource = buildVersionResource(orrin());
  write(buildPeWithResource(resource));
  std::vector<uint8_t> data(4096);
  os_setLastError(0);
  EXPECT_FALSE(
      os_fileVersionInfo(path_.c_str(), static_cast<uint32_t>(resource.size() - 1), data.data()));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  systemPread = os_sys.pread;
  os_sys.pread = changingPread;
  changedReadSize = resource.size();
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), 4096, data.data()));
}
#endif

}  // namespace
