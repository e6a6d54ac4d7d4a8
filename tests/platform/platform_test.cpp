// Processor and OS information from injected answers, overrides and retried detections; file
// wrappers on real files with the runtime's calls failing; path joining.
#include <gtest/gtest.h>

#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "csys_file.h"
#include "platform/cpuinfo_internal.h"
#include "platform/file_internal.h"
#include "platform/osinfo_internal.h"
#include "support/os_faults.h"
#include "support/pe_fixture.h"
#include "support/report_capture.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

namespace {

uint32_t g_architecture, g_processors;

constexpr size_t kCpuBytesBeforePadding =
    offsetof(csys_cpuinfo, brand) + sizeof(csys_cpuinfo::brand);

#if defined(_WIN32)
constexpr uint32_t kHostPlatform = CSYS_OS_PLATFORM_WINDOWS;
constexpr char kVersionQuery[] = "GetVersionExA", kPin[] = "SetThreadAffinityMask";
void answerSystemInfo(uint16_t architecture, uint32_t processors) {
  g_architecture = architecture, g_processors = processors;
  os_sys.GetSystemInfo = [](LPSYSTEM_INFO info) {
    GetSystemInfo(info);
    info->wProcessorArchitecture = static_cast<WORD>(g_architecture),
    info->dwNumberOfProcessors = g_processors;
  };
}
#else
constexpr uint32_t kHostPlatform = CSYS_OS_PLATFORM_POSIX;
constexpr char kVersionQuery[] = "uname", kPin[] = "sched_setaffinity";
void answerSystemInfo(uint16_t architecture, uint32_t processors) {
  g_architecture = architecture, g_processors = processors;
  os_sys.sysconf = [](int) -> long { return g_processors; };
  os_sys.uname = [](utsname* name) {
    ::uname(name);
    std::strcpy(name->machine,
                g_architecture == OS_PROCESSOR_ARCHITECTURE_AMD64 ? "x86_64" : "arm");
    return 0;
  };
}
#endif

TEST(OsInfo, VersionAnswersAreClassified) {
  constexpr uint32_t kNt = OS_VER_PLATFORM_WIN32_NT, k9x = OS_VER_PLATFORM_WIN32_WINDOWS;
  // clang-format off
  const struct { os_versionInfo answer; csys_osinfo wanted; } kCases[] = {
      {{5, 1, 2600, kNt, "Service Pack 3"}, {1, 7, 5, 1, 2600, 3, -1}},
      {{5, 2, 3790, kNt, "no digits"}, {1, 6, 5, 2, 3790, 0, -1}},
      {{4, 0, 1381, kNt, "SP6a"}, {1, 5, 4, 0, 1381, 6, -1}},
      {{6, 1, 7601, kNt, ""}, {1, 8, 6, 1, 7601, -1, -1}},
      {{10, 0, 19045, kNt, ""}, {1, 0, 10, 0, 19045, -1, -1}},
      {{3, 51, 1057, kNt, "Service Pack 5"}, {1, 0, 3, 51, 1057, -1, -1}},
      {{4, 0, 950, k9x, "B"}, {1, 2, 4, 0, 950, -1, -1}},
      {{4, 10, 2222, k9x, ""}, {1, 3, 4, 10, 2222, -1, -1}},
      {{3, 10, 0, OS_VER_PLATFORM_WIN32S, ""}, {1, 1, 3, 10, 0, -1, -1}},
      {{6, 18, 44, OS_VER_PLATFORM_POSIX, ""}, {2, 0, 6, 18, 44, -1, -1}},
      {{7, 0, 0xFFFFFFFFu, kNt, "SP 99999999999"}, {1, 0, 7, 0, INT32_MAX, INT32_MAX, -1}}};
  // clang-format on
  for (const auto& expected : kCases) {
    csys_osinfo info{};
    csys_osinfo_fromVersion(expected.answer, &info);
    EXPECT_EQ(std::memcmp(&info, &expected.wanted, sizeof info), 0) << expected.answer.buildNumber;
  }
}

// Runs before the processor tests: their detections leave the OS information detected for good.
TEST(CpuInfo, FailedDetectionsAreRetried) {
  pmtsys_test::failOsCall(kVersionQuery, 1, true);
  csys_osinfo os{};
  csys_cpuinfo info{};
  EXPECT_EQ(csys_osinfo_init(&os), CSYS_E_FAIL);
  EXPECT_TRUE(CSYS_FAILED(csys_cpuinfo_init(&info)));
  pmtsys_test::restoreOsCalls();
  answerSystemInfo(OS_PROCESSOR_ARCHITECTURE_ARM64, 2);
  EXPECT_EQ(csys_cpuinfo_init(&info), CSYS_E_NOT_SUPPORTED);
  EXPECT_EQ(os.platform + info.numProcessors, 0u);  // nothing copied on failure
  pmtsys_test::restoreOsCalls();
  ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
  EXPECT_EQ(info.features & 0x294u, 0u);  // no marker of the OS stage is left
  EXPECT_NE(info.features & CSYS_CPU_FEATURE_SSE2, 0u);
  ASSERT_EQ(csys_osinfo_init(&os), CSYS_OK);
  EXPECT_EQ(os.platform, kHostPlatform);
}

struct FakeProcessor {
  uint32_t highestLeaf, signature, leaf1Ebx, leaf1Ecx, leaf1Edx, leaf4Eax;
  const char* brand;  // null: no brand leaves
};
FakeProcessor g_cpu;

void fakeCpuid(uint32_t leaf, uint32_t, uint32_t registers[4]) {
  char brand[48] = {};
  if (g_cpu.brand != nullptr) std::memcpy(brand, g_cpu.brand, std::strlen(g_cpu.brand));
  const uint32_t leaf0[4] = {g_cpu.highestLeaf, 0x756E6547, 0x6C65746E, 0x49656E69};
  const uint32_t leaf1[4] = {g_cpu.signature, g_cpu.leaf1Ebx, g_cpu.leaf1Ecx, g_cpu.leaf1Edx};
  const uint32_t leaf4[4] = {g_cpu.leaf4Eax, 0, 0, 0};
  const uint32_t extended[4] = {g_cpu.brand != nullptr ? 0x80000004u : 0x80000000u, 0, 0, 0};
  const void* answer = leaf == 0 ? leaf0 : leaf == 1 ? leaf1 : leaf == 4 ? leaf4 : extended;
  if (leaf >= 0x80000002u) answer = brand + 16 * (leaf - 0x80000002u);
  std::memcpy(registers, answer, 16);
}

constexpr uint32_t kHtt = 1u << 28, kSimd = (1u << 23) | (1u << 25) | (1u << 26);

TEST(CpuInfo, IdentificationAndTopologyFromTheProcessorsAnswers) {
  // clang-format off
  const struct { FakeProcessor cpu; csys_cpuinfo wanted; } kCases[] = {
      {{0xD, 0x906EA, 0, 0x80001, kSimd, 0, "   Fake CPU @ 3GHz"},
       {5, 0, 6, 0x9E0A, 0x14B, 2, 8, 0, 8, 0x101, "GenuineIntel", "Fake CPU @ 3GHz"}},
      {{0xD, 0x306C3, 8 << 16, 0, kSimd | kHtt, 3u << 26, "Fake"},
       {5, 0, 6, 0x3C03, 0xB, 2, 16, 0, 2, 0x402, "GenuineIntel", "Fake"}},
      {{3, 0x6F2, 8 << 16, 1, kHtt | (1u << 26), 3u << 26, nullptr},
       {5, 0, 6, 0xF02, 0x48, 2, 4, 0, 4, 0x101, "GenuineIntel", ""}},
      {{4, 0x6F2, 2 << 16, 0, kHtt, 3u << 26, ""},  // fewer logical processors than cores
       {5, 0, 6, 0xF02, 0, 2, 8, 0, 2, 0x401, "GenuineIntel", ""}},
      {{0xD, 0xB00F21, 254u << 16, 0, kHtt, 0, "Virtual  "},  // 254 logical in a machine of 2
       {5, 0, 15, 0x201, 0, 2, 2, 0, 0, 0x1FE, "GenuineIntel", "Virtual  "}}};
  // clang-format on
  for (const auto& expected : kCases) {
    g_cpu = expected.cpu;
    answerSystemInfo(OS_PROCESSOR_ARCHITECTURE_AMD64, expected.wanted.numProcessors);
    csys_cpuinfo info{};
    ASSERT_EQ(csys_cpuinfo_detectWith(fakeCpuid, &info), CSYS_OK);
    info.activeProcessorMask = 0;  // the host's
    EXPECT_EQ(std::memcmp(&info, &expected.wanted, kCpuBytesBeforePadding), 0)
        << expected.wanted.brand;
  }
  pmtsys_test::restoreOsCalls();
}

// Detection pins the thread to each processor in turn, then back to the process's processors.
// Whichever pin fails, detection fails and the thread returns there, unless that last pin failed.
TEST(CpuInfo, PinningFailuresLeaveTheThreadOnTheProcessMask) {
  g_cpu = {0xD, 0x906EA, 0, 0, kSimd, 0, "Fake"};
  uint64_t processMask = 0, systemMask = 0;
  ASSERT_TRUE(os_getProcessAffinityMask(&processMask, &systemMask));
  for (int failAt = 1, lastReturned = 1;; ++failAt) {
    pmtsys_test::failOsCall(kPin, failAt, false);
    csys_cpuinfo info{};
    const csys_status status = csys_cpuinfo_detectWith(fakeCpuid, &info);
    const int injected = pmtsys_test::injectedOsFailures();
    pmtsys_test::restoreOsCalls();
    const bool returned = os_setCurrentThreadAffinityMask(processMask) == processMask;
    if (injected == 0) {
      EXPECT_EQ(status, CSYS_OK);
      EXPECT_TRUE(returned);
      EXPECT_EQ(failAt - 1, std::popcount(processMask) + 2);  // the pins a detection makes
      break;
    }
    EXPECT_EQ(status, CSYS_E_OS) << failAt;
    EXPECT_TRUE(lastReturned) << failAt - 1;
    lastReturned = returned;
  }
}

TEST(CpuInfo, OverridesFollowTheMaskAndResetRestores) {
  csys_cpuinfo detected{};
  ASSERT_EQ(csys_cpuinfo_init(&detected), CSYS_OK);
  const csys_cpuinfo wanted{1, 3, 4, 0x505, 0x9, CSYS_CPU_BIG_ENDIAN, 7, 0x7F, 9, 9, "x", "y"};
  const struct {
    uint32_t mask, features;  // the features expected from the detected ones
  } kCases[] = {
      {0x8, 0x9}, {0x12, detected.features | 0x9}, {0x1, detected.features & ~0x9u}, {0x1FF, 0x9}};
  for (const auto& forced : kCases) {
    ASSERT_EQ(csys_cpuinfo_force(&wanted, forced.mask), CSYS_OK);
    csys_cpuinfo info{}, expected = detected;
    ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
    expected.features = forced.features;
    if (forced.mask & 0x1) expected.processorClass = wanted.processorClass;
    if (forced.mask & 0x2) expected.family = wanted.family;
    if (forced.mask & 0x4) expected.model = wanted.model;
    if (forced.mask & 0x40) expected.byteOrder = wanted.byteOrder;
    if (forced.mask & 0x80) expected.numProcessors = wanted.numProcessors;
    if (forced.mask & 0x100) expected.activeProcessorMask = wanted.activeProcessorMask;
    EXPECT_EQ(std::memcmp(&info, &expected, kCpuBytesBeforePadding), 0) << forced.mask;
    ASSERT_EQ(csys_cpuinfo_reset(), CSYS_OK);
    ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
    EXPECT_EQ(std::memcmp(&info, &detected, kCpuBytesBeforePadding), 0);
  }
}

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
  const std::string dir = pmtsys_test::makeTempDir(), a = dir + "/a";
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenA(a.c_str(), "wb", &file), CSYS_OK);
  fputs("0123456789", file);
  // Opening on the same variable closes (and so flushes) the first stream.
  ASSERT_EQ(csys_fileOpenA(a.c_str(), "rb", &file), CSYS_OK);
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
  EXPECT_EQ(csys_fileOpenA((a + "/x").c_str(), "rb", &file), CSYS_E_FILE_OPEN);
  EXPECT_EQ(csys_fileClose(&file), CSYS_OK);
  // The runtime's calls fail: the statuses say so and the variable never dangles.
  ASSERT_EQ(csys_fileOpenA(a.c_str(), "rb", &file), CSYS_OK);
  os_sys.fclose = [](FILE* f) { return ::fclose(f) == 0 ? EOF : 0; };
  os_sys.ftell64 = [](FILE*) -> int64_t { return errno = EBADF, -1; };
  os_sys.fseek64 = [](FILE*, int64_t, int) { return -1; };
  EXPECT_EQ(csys_fileTell64(file, &wide), CSYS_E_FILE_IO);
  EXPECT_EQ(wide, INT64_C(3) << 31);
  EXPECT_EQ(csys_fileSeek(file, 0, CSYS_FILE_SEEK_BEGIN), CSYS_E_FILE_IO);
  EXPECT_EQ(csys_fileOpenA(a.c_str(), "rb", &file), CSYS_E_FILE_IO);
  EXPECT_EQ(file, nullptr);
  ASSERT_EQ(csys_fileOpenA(a.c_str(), "rb", &file), CSYS_OK);
  EXPECT_EQ(csys_fileCloseNoFail(&file), CSYS_OK);
  std::filesystem::remove_all(dir);
}

TEST(File, WideNamesKeepEveryCharacter) {
  const std::filesystem::path dir = pmtsys_test::makeTempDir();
  const std::wstring wideBase = dir.wstring();  // plain ASCII
  FILE* file = nullptr;
  ASSERT_EQ(csys_fileOpenW((wideBase + L"/n\u00e9\u4e2d\U0001F600").c_str(), L"wb", &file),
            CSYS_OK);
  csys_fileClose(&file);
  EXPECT_TRUE(std::filesystem::exists(dir / std::filesystem::u8path("n\u00e9\u4e2d\U0001F600")));
#if !defined(_WIN32)
  // UTF-32 values that are no characters fail clearly.
  for (const wchar_t bad : {wchar_t{0xD800}, wchar_t{0xDFFF}, wchar_t{0x110000}, wchar_t{-1}}) {
    errno = 0;
    EXPECT_EQ(csys_fileOpenW((wideBase + L"/x" + bad).c_str(), L"wb", &file), CSYS_E_FILE_OPEN);
    EXPECT_EQ(errno, EILSEQ);
  }
  EXPECT_EQ(csys_fileOpenW(std::wstring(5000, L'a').c_str(), L"rb", &file), CSYS_E_FILE_OPEN);
#endif
  std::filesystem::remove_all(dir);
}

}  // namespace
