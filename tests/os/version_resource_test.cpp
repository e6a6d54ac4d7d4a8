// Reading version resources from synthesized PE files: the values a resource compiler's output
// yields, and "no version" (never a crash or a stray read) for anything missing or damaged.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "os/os.h"
#if !defined(_WIN32)
#include "os/posix/syscalls.h"
#endif
#include "support/pe_fixture.h"

namespace {

using pmtsys_test::buildPeWithResource;
using pmtsys_test::buildVersionResource;
using pmtsys_test::VersionFixture;

constexpr char kProductName[] = "\\StringFileInfo\\040904B0\\ProductName";

VersionFixture orrinFixture() {
  return {{812, 10103, 4, 5},
          {{"ProductName", "Orrin Test Product"}, {"SpecialBuild", "Prerelease"}}};
}

class VersionResourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = pmtsys_test::makeTempDir();
    path_ = dir_ + "/orrinversn64.dll";
  }
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

  // Expects the file to have no readable version, for the given reason.
  void expectNoVersion(uint32_t error) const {
    os_setLastError(0);
    EXPECT_EQ(os_fileVersionInfoSize(path_.c_str()), 0u);
    EXPECT_EQ(os_getLastError(), error);
    std::vector<uint8_t> data(4096);
    os_setLastError(0);
    EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), 4096, data.data()));
    EXPECT_EQ(os_getLastError(), error);
  }

  static std::string queryString(const std::vector<uint8_t>& data, const char* path,
                                 size_t capacity = 256) {
    std::vector<char> buffer(capacity, 'x');
    if (!os_versionQueryString(data.data(), path, buffer.data(), capacity)) return "<missing>";
    return buffer.data();
  }

  std::string dir_;
  std::string path_;
};

TEST_F(VersionResourceTest, ReadsFixedInfoAndStrings) {
  const std::vector<uint8_t> resource = buildVersionResource(orrinFixture());
  for (const auto format : {pmtsys_test::PeFormat::pe32Plus, pmtsys_test::PeFormat::pe32}) {
    write(buildPeWithResource(resource, format));
#if defined(_WIN32)
    // Windows adds room for VerQueryValueA's conversion of the text to the ANSI code page.
    EXPECT_GE(os_fileVersionInfoSize(path_.c_str()), resource.size());
#else
    EXPECT_EQ(os_fileVersionInfoSize(path_.c_str()), resource.size());
#endif
    const std::vector<uint8_t> data = read();
    ASSERT_FALSE(data.empty());

    os_fixedFileInfo info{};
    ASSERT_TRUE(os_versionQueryFixed(data.data(), &info));
    EXPECT_EQ(info.fileVersionMS, 0x032C2777u);
    EXPECT_EQ(info.fileVersionLS, 0x00040005u);
    EXPECT_EQ(info.productVersionMS, 0x032C2777u);
    EXPECT_EQ(info.productVersionLS, 0x00040005u);

    EXPECT_EQ(queryString(data, kProductName), "Orrin Test Product");
    EXPECT_EQ(queryString(data, "\\StringFileInfo\\040904B0\\SpecialBuild"), "Prerelease");
    // Keys match without regard to case.
    EXPECT_EQ(queryString(data, "\\stringfileinfo\\040904b0\\SPECIALBUILD"), "Prerelease");
    EXPECT_EQ(queryString(data, "\\StringFileInfo\\040904B0\\CompanyName"), "<missing>");
    EXPECT_EQ(queryString(data, "\\StringFileInfo\\040704B0\\ProductName"), "<missing>");
    EXPECT_EQ(queryString(data, "\\StringFileInfo\\040904B0\\ProductNam"), "<missing>");
    EXPECT_EQ(queryString(data, kProductName, 6), "Orrin");  // cut to the buffer
    // A capacity of 0 only tells whether the value exists.
    EXPECT_TRUE(os_versionQueryString(data.data(), kProductName, nullptr, 0));
  }
}

TEST_F(VersionResourceTest, MissingFilesHaveNoVersion) {
  expectNoVersion(OS_ERROR_FILE_NOT_FOUND);
  // A regular file used as a directory.
  write({});
  os_setLastError(0);
  EXPECT_EQ(os_fileVersionInfoSize((path_ + "/orrinversn64.dll").c_str()), 0u);
  EXPECT_EQ(os_getLastError(), OS_ERROR_PATH_NOT_FOUND);
}

TEST_F(VersionResourceTest, FixedInfoMustBePresentAndSigned) {
  VersionFixture fixture = orrinFixture();
  fixture.withFixedInfo = false;
  std::vector<uint8_t> data = buildVersionResource(fixture);
  os_fixedFileInfo info{};
  EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
  EXPECT_EQ(queryString(data, kProductName), "Orrin Test Product");

  data = buildVersionResource(orrinFixture());
  data[40] ^= 1;  // the signature follows the 40-byte root header
  EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
}

TEST_F(VersionResourceTest, StringsAreUtf8CutToTheBuffer) {
  const std::string longName(300, 'n');
  VersionFixture fixture = orrinFixture();
  // U+00AE takes two bytes in UTF-8, U+1F600 (a surrogate pair) four.
  fixture.strings = {{"ProductName", longName}, {"Comments", "a\u00AE\U0001F600"}};
  const std::vector<uint8_t> data = buildVersionResource(fixture);

  EXPECT_EQ(queryString(data, kProductName, 301), longName);
  EXPECT_EQ(queryString(data, kProductName, 16), std::string(15, 'n'));
  EXPECT_EQ(queryString(data, kProductName, 1), "");

  const char* comments = "\\StringFileInfo\\040904B0\\Comments";
  EXPECT_EQ(queryString(data, comments), "a\u00AE\U0001F600");
  // A character that does not fit whole is left out whole.
  EXPECT_EQ(queryString(data, comments, 3), "a");
  EXPECT_EQ(queryString(data, comments, 4), "a\u00AE");
  EXPECT_EQ(queryString(data, comments, 7), "a\u00AE");
}

// The rest checks the POSIX backend's own PE reader: damaged files and blocks, a short buffer
// and injected read failures. On Windows the reader is version.dll's: Wine's crashes on some
// damaged files, reports 1812 where this reader reports 1813, does not check the root key, and
// GetFileVersionInfoA fills a short buffer as far as it goes.
#if !defined(_WIN32)
void put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST_F(VersionResourceTest, ForeignFilesHaveNoVersion) {
  write({});
  expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
  write({'n', 'o', 't', ' ', 'a', ' ', 'D', 'L', 'L', '\n'});
  expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND);

  // An image without a resource directory.
  write(buildPeWithResource({}));
  expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND);

  // Resources, but none of type RT_VERSION (16).
  std::vector<uint8_t> file = buildPeWithResource(buildVersionResource(orrinFixture()));
  put32(file, pmtsys_test::kPeResourceOffset + 16, 6);
  write(file);
  expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
}

TEST_F(VersionResourceTest, DamagedHeadersMeanNoVersion) {
  const std::vector<uint8_t> valid = buildPeWithResource(buildVersionResource(orrinFixture()));
  const size_t dataEntry = pmtsys_test::kPeResourceDataEntryOffset;
  const struct {
    const char* what;
    size_t at;
    uint32_t value;
  } damages[] = {
      {"PE header offset past the end", 0x3C, 0xFFFFFFF0u},
      {"PE signature", pmtsys_test::kPeHeaderOffset, 0x00004551u},
      {"optional header magic", pmtsys_test::kPeHeaderOffset + 24, 0x0000010Cu},
      {"directory count without resources", pmtsys_test::kPeHeaderOffset + 24 + 108, 2},
      {"section count 0", pmtsys_test::kPeHeaderOffset + 4, 0x00008664u},
      {"subdirectory past the end of the file", pmtsys_test::kPeResourceOffset + 20, 0x8000FFF0u},
      {"language entry that is a directory", pmtsys_test::kPeResourceOffset + 68, 0x80000000u},
      {"resource outside every section", dataEntry, 0x00100000u},
      {"section that ends before the resource", pmtsys_test::kPeHeaderOffset + 24 + 240 + 8, 0x50},
      {"resource larger than its section", dataEntry + 4, 0xFFFFFFF0u},
      {"resource smaller than its block", dataEntry + 4, 100},
      {"block length below a node header", pmtsys_test::kPeVersionOffset, 4},
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::vector<uint8_t> file = valid;
    put32(file, damage.at, damage.value);
    write(file);
    expectNoVersion(OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
}

TEST_F(VersionResourceTest, EveryTruncationFailsCleanlyUntilTheBlockIsWhole) {
  const std::vector<uint8_t> resource = buildVersionResource(orrinFixture());
  const std::vector<uint8_t> file = buildPeWithResource(resource);
  const size_t blockEnd = pmtsys_test::kPeVersionOffset + resource.size();
  for (size_t length = 0; length <= file.size(); ++length) {
    SCOPED_TRACE(length);
    write(std::vector<uint8_t>(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length)));
    const std::vector<uint8_t> data = read();
    ASSERT_EQ(!data.empty(), length >= blockEnd);
    if (!data.empty()) {
      EXPECT_EQ(queryString(data, kProductName), "Orrin Test Product");
    }
  }
}

TEST_F(VersionResourceTest, DamagedBlockNeverReadsPastItsNodes) {
  const std::vector<uint8_t> resource = buildVersionResource(orrinFixture());
  const std::vector<uint8_t> valid = buildPeWithResource(resource);
  // Every byte of the block set to 0x00 and to 0xFF: lengths, keys, value lengths, types.
  for (size_t at = pmtsys_test::kPeVersionOffset;
       at < pmtsys_test::kPeVersionOffset + resource.size(); ++at) {
    for (const uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}}) {
      std::vector<uint8_t> file = valid;
      file[at] = value;
      write(file);
      const std::vector<uint8_t> data = read();
      if (data.empty()) continue;
      os_fixedFileInfo info{};
      os_versionQueryFixed(data.data(), &info);
      char text[64];
      if (os_versionQueryString(data.data(), kProductName, text, sizeof text)) {
        EXPECT_LT(std::strlen(text), sizeof text);
      }
    }
  }
}

TEST_F(VersionResourceTest, MalformedNodesEndTheSearch) {
  const std::vector<uint8_t> valid = buildVersionResource(orrinFixture());
  // Offsets in that block: StringFileInfo follows the root header (40) and the fixed info (52),
  // the table "040904B0" its 36-byte header, the ProductName string the table's 24-byte header.
  const size_t table = 92 + 36;
  const size_t productName = table + 24;
  const char* specialBuild = "\\StringFileInfo\\040904B0\\SpecialBuild";

  // A string of length 0 before the one wanted: no progress is possible, so nothing is found.
  std::vector<uint8_t> data = valid;
  data[productName] = 0;
  EXPECT_EQ(queryString(data, specialBuild), "<missing>");

  // A table longer than its parent.
  data = valid;
  data[table] = 0xFF;
  data[table + 1] = 0xFF;
  EXPECT_EQ(queryString(data, kProductName), "<missing>");

  // Roots that are nothing but a header, in blocks of exactly that size: 36 bytes end the key
  // before its terminator, 40 hold key, terminator and padding but no value.
  constexpr char kKey[] = "VS_VERSION_INFO";
  for (const size_t size : {size_t{36}, size_t{40}}) {
    SCOPED_TRACE(size);
    std::vector<uint8_t> root(size, 0);
    root[0] = static_cast<uint8_t>(size);
    for (size_t i = 0; i + 1 < sizeof kKey; ++i) root[6 + 2 * i] = static_cast<uint8_t>(kKey[i]);
    os_fixedFileInfo info{};
    EXPECT_FALSE(os_versionQueryFixed(root.data(), &info));
    EXPECT_EQ(queryString(root, kProductName), "<missing>");
  }
}

TEST_F(VersionResourceTest, RootKeyMustNameVersionInfo) {
  std::vector<uint8_t> data = buildVersionResource(orrinFixture());
  data[6 + 2 * 8] = 'X';  // the key "VS_VERSION_INFO" becomes "VS_VERSIXN_INFO"
  os_fixedFileInfo info{};
  EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
  EXPECT_EQ(queryString(data, kProductName), "<missing>");
}

TEST_F(VersionResourceTest, TooSmallBufferIsRefused) {
  write(buildPeWithResource(buildVersionResource(orrinFixture())));
  const uint32_t size = os_fileVersionInfoSize(path_.c_str());
  std::vector<uint8_t> data(size);
  os_setLastError(0);
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), size - 1, data.data()));
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
}

decltype(os_sys.pread) systemPread = nullptr;

// Passes the first `readsLeft` reads to the system, then fails every one.
int readsLeft = 0;
ssize_t failingPread(int fd, void* buffer, size_t count, off_t offset) {
  if (readsLeft-- <= 0) {
    errno = EIO;
    return -1;
  }
  return systemPread(fd, buffer, count, offset);
}

TEST_F(VersionResourceTest, FailedReadMeansNoVersion) {
  write(buildPeWithResource(buildVersionResource(orrinFixture())));
  systemPread = os_sys.pread;
  os_sys.pread = failingPread;
  // Each read in turn fails, the final copy included, until all of them succeed.
  std::vector<uint8_t> data(4096);
  for (int succeeding = 0;; ++succeeding) {
    SCOPED_TRACE(succeeding);
    ASSERT_LT(succeeding, 100);
    readsLeft = succeeding;
    os_setLastError(0);
    if (os_fileVersionInfo(path_.c_str(), 4096, data.data())) break;
    EXPECT_EQ(os_getLastError(), OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  os_fixedFileInfo info{};
  EXPECT_TRUE(os_versionQueryFixed(data.data(), &info));
}

// Reads of `changedReadSize` bytes see a block whose length differs from the one first read.
size_t changedReadSize = 0;
ssize_t changingPread(int fd, void* buffer, size_t count, off_t offset) {
  const ssize_t got = systemPread(fd, buffer, count, offset);
  if (count == changedReadSize) static_cast<uint8_t*>(buffer)[0] ^= 4;
  return got;
}

TEST_F(VersionResourceTest, FileChangedBeforeTheCopyIsRefused) {
  const std::vector<uint8_t> resource = buildVersionResource(orrinFixture());
  write(buildPeWithResource(resource));
  systemPread = os_sys.pread;
  os_sys.pread = changingPread;
  changedReadSize = resource.size();
  std::vector<uint8_t> data(4096);
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), 4096, data.data()));
}
#endif

}  // namespace
