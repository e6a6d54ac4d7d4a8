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
  fs::path path =
      fs::temp_directory_path() / ("pmtsys_file_" + std::to_string(std::random_device{}()));
  TempDir() { fs::create_directories(path); }
  ~TempDir() { fs::remove_all(path); }
  std::string file(const char* name) const { return (path / name).string(); }
};

TEST(FileMakePath, EveryJoiningRuleAndTruncation) {
  struct Row {
    const char* directory;
    const char* name;
    int32_t size;
    const char* result;
  };
  const Row rows[] = {
      {"dir", "file.txt", 64, "dir/file.txt"},
      {"dir/", "/file.txt", 64, "dir/file.txt"},
      {"dir\\", "file.txt", 64, "dir\\file.txt"},
      {"dir", "\\file.txt", 64, "dir\\file.txt"},
      {"C:", "file.txt", 64, "C:file.txt"},
      {"", "file.txt", 64, "file.txt"},
      {"C:", "/x", 64, "C:/x"},
      {"", "/x", 64, "/x"},
      {"dir", "", 64, "dir/"},
      {"dir", nullptr, 64, "dir/"},
      {"directory", "f", 8, "directo"},
      {"dir", "file", 4, "dir"},
      {"dir", "file", 5, "dir/"},
      {"dir", "file", 6, "dir/f"},
      {"dir/", "/file", 6, "dir/f"},
      {"d", "f", 1, ""},
  };
  for (const Row& row : rows) {
    char out[64];
    std::fill(std::begin(out), std::end(out), 'x');
    EXPECT_EQ(csys_fileMakePath(row.directory, row.name, row.size, out), out);
    EXPECT_STREQ(out, row.result) << row.directory << " + " << (row.name ? row.name : "null");
  }
  char untouched[2] = {'x', 'y'};
  csys_fileMakePath("dir", "f", 0, untouched);
  csys_fileMakePath("dir", "f", -5, untouched);
  EXPECT_EQ(untouched[0], 'x');
}

TEST(FileMakePath, FuzzEntryHoldsOnGeneratedInputs) {
  std::mt19937 random(12345);
  const char alphabet[] = "ab/\\:";
  for (int i = 0; i < 20000; ++i) {
    std::string input(1, static_cast<char>(random() % 24));
    const size_t length = random() % 20;
    for (size_t c = 0; c < length; ++c) input += c == length / 2 ? '\0' : alphabet[random() % 5];
    ASSERT_TRUE(
        csys_fileMakePath_fuzzInput(reinterpret_cast<const uint8_t*>(input.data()), input.size()));
  }
}

TEST(File, OpenTellSeekAndRepeatedClose) {
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
  {
    pmtsys_test::AssertCapture asserts;
    EXPECT_EQ(csys_fileSeek(file, 2, 7), CSYS_OK);
    EXPECT_EQ(asserts.count(), 1u);
  }
  EXPECT_EQ(fgetc(file), '2');
  // Beyond 32 bits only the 64-bit position can answer.
  int64_t wide = 0;
  EXPECT_EQ(csys_fileSeek64(file, INT64_C(3) << 31, CSYS_FILE_SEEK_BEGIN), CSYS_OK);
  EXPECT_EQ(csys_fileTell64(file, &wide), CSYS_OK);
  EXPECT_EQ(wide, INT64_C(3) << 31);
  EXPECT_EQ(csys_fileTell(file, &position), CSYS_E_FILE_IO);
  EXPECT_EQ(csys_fileClose(&file), CSYS_OK);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(csys_fileClose(&file), CSYS_OK);
  EXPECT_EQ(csys_fileOpenA(dir.file("missing/x").c_str(), "rb", &file), CSYS_E_FILE_OPEN);
}

TEST(File, WideNamesKeepEveryCharacter) {
  TempDir dir;
  // The temporary directory's name is plain ASCII.
  const std::string base = dir.path.string();
  const std::wstring wideBase(base.begin(), base.end());
  const std::wstring name = wideBase + L"/n\u00e9\u4e2d\U0001F600.txt";
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenW(name.c_str(), L"wb", &file), CSYS_OK);
  csys_fileClose(&file);
  EXPECT_TRUE(fs::exists(dir.path / fs::u8path("n\u00e9\u4e2d\U0001F600.txt")));
#if !defined(_WIN32)
  // UTF-32 values that are no characters fail clearly.
  for (const wchar_t bad : {wchar_t{0xD800}, wchar_t{0xDFFF}, wchar_t{0x110000}, wchar_t{-1}}) {
    const std::wstring badName = wideBase + L"/x" + bad;
    errno = 0;
    EXPECT_EQ(csys_fileOpenW(badName.c_str(), L"wb", &file), CSYS_E_FILE_OPEN);
    EXPECT_EQ(errno, EILSEQ);
  }
  const std::wstring tooLong(5000, L'a');
  EXPECT_EQ(csys_fileOpenW(tooLong.c_str(), L"rb", &file), CSYS_E_FILE_OPEN);
#endif
}

// Each runtime call fails in turn: the status says so and the variable never dangles.
TEST(File, RuntimeFailuresBecomeStatuses) {
  TempDir dir;
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenA(dir.file("b").c_str(), "wb", &file), CSYS_OK);
  int64_t position = 99;
#if defined(_WIN32)
  os_sys._ftelli64 = [](FILE*) -> __int64 {
    errno = EBADF;
    return -1;
  };
  os_sys._fseeki64 = [](FILE*, __int64, int) { return -1; };
  os_sys.fclose = [](FILE* f) {
    ::fclose(f);
    return EOF;
  };
#else
  os_sys.ftello = [](FILE*) -> off_t {
    errno = EBADF;
    return -1;
  };
  os_sys.fseeko = [](FILE*, off_t, int) { return -1; };
  os_sys.fclose = [](FILE* f) {
    ::fclose(f);
    return EOF;
  };
#endif
  EXPECT_EQ(csys_fileTell64(file, &position), CSYS_E_FILE_IO);
  EXPECT_EQ(position, 99);
  EXPECT_EQ(csys_fileSeek(file, 0, CSYS_FILE_SEEK_BEGIN), CSYS_E_FILE_IO);
  // Reopening over a stream whose close fails gives the close's status.
  EXPECT_EQ(csys_fileOpenA(dir.file("b").c_str(), "rb", &file), CSYS_E_FILE_IO);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(csys_fileOpenA(dir.file("b").c_str(), "rb", &file), CSYS_OK);
  EXPECT_EQ(csys_fileCloseNoFail(&file), CSYS_OK);
  EXPECT_EQ(file, nullptr);
}

}  // namespace
