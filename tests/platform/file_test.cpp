// File wrappers on real files, with the runtime's calls made to fail through the backend's
// table; path joining by its table and by the fuzzer's entry on generated inputs.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <random>
#include <string>

#include "csys_file.h"
#include "platform/file_internal.h"
#include "support/report_capture.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path = fs::temp_directory_path() / ("pmtsys_" + std::to_string(std::random_device{}()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
  std::string file(const char* name) const { return (path / name).string(); }
};

// The joining rules; cutting to the buffer is the fuzz check's, run here on generated inputs.
TEST(FileMakePath, EveryJoiningRule) {
  // clang-format off
  const char* const rows[][3] = {
      {"dir", "file.txt", "dir/file.txt"},    {"dir/", "/file.txt", "dir/file.txt"},
      {"dir\\", "file.txt", "dir\\file.txt"}, {"dir", "\\file.txt", "dir\\file.txt"},
      {"C:", "file.txt", "C:file.txt"},       {"", "file.txt", "file.txt"},
      {"C:", "/x", "C:/x"},                   {"dir", nullptr, "dir/"}};
  // clang-format on
  for (const auto& [directory, name, result] : rows) {
    char out[64];
    EXPECT_STREQ(csys_fileMakePath(directory, name, 64, out), result) << result;
  }
  char untouched = 'x';
  EXPECT_EQ(*csys_fileMakePath("dir", "f", 0, &untouched), 'x');
  std::mt19937 random(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string in(1, static_cast<char>(random() % 24));
    for (size_t c = random() % 20; c > 0; --c) in += "ab/\\:"[random() % 6];
    ASSERT_TRUE(csys_fileMakePath_fuzzInput(reinterpret_cast<uint8_t*>(in.data()), in.size()));
  }
}

TEST(File, OpenTellSeekCloseAndTheirFailures) {
  TempDir dir;
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenA(dir.file("a").c_str(), "wb", &file), CSYS_OK);
  fputs("0123456789", file);
  // Opening on the same variable closes (and so flushes) the first stream.
  ASSERT_EQ(csys_fileOpenA(dir.file("a").c_str(), "rb", &file), CSYS_OK);
  int32_t position = -1;
  EXPECT_EQ(csys_fileSeek(file, 0, CSYS_FILE_SEEK_END), CSYS_OK);
  EXPECT_EQ(csys_fileTell(file, &position), CSYS_OK);
  EXPECT_EQ(position, 10);
  EXPECT_EQ(csys_fileSeek64(file, -4, CSYS_FILE_SEEK_CURRENT), CSYS_OK);
  EXPECT_EQ(fgetc(file), '6');
  pmtsys_test::AssertCapture asserts;
  EXPECT_EQ(csys_fileSeek(file, 2, 7), CSYS_OK);  // reported, then from the beginning
  EXPECT_EQ(asserts.count(), 1u);
  EXPECT_EQ(fgetc(file), '2');
  // Beyond 32 bits only the 64-bit position can answer.
  int64_t wide = 0;
  EXPECT_EQ(csys_fileSeek64(file, INT64_C(3) << 31, CSYS_FILE_SEEK_BEGIN), CSYS_OK);
  EXPECT_EQ(csys_fileTell64(file, &wide), CSYS_OK);
  EXPECT_EQ(wide, INT64_C(3) << 31);
  EXPECT_EQ(csys_fileTell(file, &position), CSYS_E_FILE_IO);
  EXPECT_EQ(csys_fileOpenA(dir.file("no/x").c_str(), "rb", &file), CSYS_E_FILE_OPEN);
  EXPECT_EQ(csys_fileClose(&file), CSYS_OK);
  // The runtime's calls fail: the statuses say so and the variable never dangles.
  ASSERT_EQ(csys_fileOpenA(dir.file("a").c_str(), "rb", &file), CSYS_OK);
  os_sys.fclose = [](FILE* f) { return ::fclose(f) == 0 ? EOF : 0; };
  os_sys.ftell64 = [](FILE*) -> int64_t { return errno = EBADF, -1; };
  os_sys.fseek64 = [](FILE*, int64_t, int) { return -1; };
  EXPECT_EQ(csys_fileTell64(file, &wide), CSYS_E_FILE_IO);
  EXPECT_EQ(wide, INT64_C(3) << 31);
  EXPECT_EQ(csys_fileSeek(file, 0, CSYS_FILE_SEEK_BEGIN), CSYS_E_FILE_IO);
  EXPECT_EQ(csys_fileOpenA(dir.file("a").c_str(), "rb", &file), CSYS_E_FILE_IO);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(csys_fileOpenA(dir.file("a").c_str(), "rb", &file), CSYS_OK);
  EXPECT_EQ(csys_fileCloseNoFail(&file), CSYS_OK);
}

TEST(File, WideNamesKeepEveryCharacter) {
  TempDir dir;
  const std::string base = dir.path.string();  // plain ASCII
  const std::wstring wideBase(base.begin(), base.end());
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenW((wideBase + L"/n\u00e9\u4e2d\U0001F600").c_str(), L"wb", &file),
            CSYS_OK);
  csys_fileClose(&file);
  EXPECT_TRUE(fs::exists(dir.path / fs::u8path("n\u00e9\u4e2d\U0001F600")));
#if !defined(_WIN32)
  // UTF-32 values that are no characters fail clearly.
  for (const wchar_t bad : {wchar_t{0xD800}, wchar_t{0xDFFF}, wchar_t{0x110000}, wchar_t{-1}}) {
    errno = 0;
    EXPECT_EQ(csys_fileOpenW((wideBase + L"/x" + bad).c_str(), L"wb", &file), CSYS_E_FILE_OPEN);
    EXPECT_EQ(errno, EILSEQ);
  }
  EXPECT_EQ(csys_fileOpenW(std::wstring(5000, L'a').c_str(), L"rb", &file), CSYS_E_FILE_OPEN);
#endif
}

}  // namespace
