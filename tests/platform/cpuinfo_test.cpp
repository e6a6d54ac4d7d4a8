// Processor detection with the processor's and the OS's answers injected, the overrides, and the
// retry after a failed detection.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>

#include "cpuinfo_os_answers.h"
#include "csys_cpuinfo.h"
#include "os/os.h"
#include "platform/cpuinfo_internal.h"
#include "support/os_faults.h"

namespace {

struct FakeProcessor {
  uint32_t highestLeaf, signature, leaf1Ebx, leaf1Ecx, leaf1Edx, leaf4Eax;
  const char* brand;  // null: no brand leaves
};
const FakeProcessor* g_processor;

void fakeCpuid(uint32_t leaf, uint32_t, uint32_t registers[4]) {
  const FakeProcessor& cpu = *g_processor;
  char brand[48] = {};
  if (cpu.brand != nullptr) std::memcpy(brand, cpu.brand, std::strlen(cpu.brand));
  std::memset(registers, 0, 16);
  if (leaf == 0) {
    registers[0] = cpu.highestLeaf;
    std::memcpy(&registers[1], "GenuntelineI", 12);  // ebx, ecx, edx
  } else if (leaf == 1) {
    const uint32_t answer[4] = {cpu.signature, cpu.leaf1Ebx, cpu.leaf1Ecx, cpu.leaf1Edx};
    std::memcpy(registers, answer, 16);
  } else if (leaf == 4) {
    registers[0] = cpu.leaf4Eax;
  } else if (leaf == 0x80000000u) {
    registers[0] = cpu.brand != nullptr ? 0x80000004u : 0x80000000u;
  } else if (leaf >= 0x80000002u && leaf <= 0x80000004u) {
    std::memcpy(registers, brand + 16 * (leaf - 0x80000002u), 16);
  }
}

constexpr uint32_t kHtt = 1u << 28, kSimd = (1u << 23) | (1u << 25) | (1u << 26);

TEST(CpuInfo, IdentificationAndTopologyFromTheProcessorsAnswers) {
  const struct {
    FakeProcessor cpu;
    uint32_t processors;
    int32_t family, model;
    uint32_t features, coresAndThreads, packages;
    const char* brand;
  } kCases[] = {
      {{0xD, 0x906EA, 0, 0x80001, kSimd, 0, "   Fake CPU @ 3GHz"},
       8,
       6,
       0x9E0A,
       0x14B,
       0x101,
       8,
       "Fake CPU @ 3GHz"},
      {{0xD, 0x306C3, 8 << 16, 0, kSimd | kHtt, 3u << 26, "Fake"},
       16,
       6,
       0x3C03,
       0xB,
       0x402,
       2,
       "Fake"},
      {{3, 0x6F2, 8 << 16, 1, kHtt | (1u << 26), 3u << 26, nullptr},
       4,
       6,
       0xF02,
       0x48,
       0x101,
       4,
       ""},
      // Fewer logical processors than cores: one thread per core.
      {{4, 0x6F2, 2 << 16, 0, kHtt, 3u << 26, ""}, 8, 6, 0xF02, 0, 0x401, 2, ""},
      // A virtual processor with 254 logical processors in a package of 2.
      {{0xD, 0xB00F21, 254u << 16, 0, kHtt, 0, "Virtual  "},
       2,
       15,
       0x201,
       0,
       0x1FE,
       0,
       "Virtual  "},
  };
  for (const auto& expected : kCases) {
    g_processor = &expected.cpu;
    pmtsys_test::answerSystemInfo(OS_PROCESSOR_ARCHITECTURE_AMD64, expected.processors);
    csys_cpuinfo info{};
    ASSERT_EQ(csys_cpuinfo_detectWith(fakeCpuid, &info), CSYS_OK);
    EXPECT_EQ(info.architecture, CSYS_CPU_ARCH_X64);
    EXPECT_EQ(info.processorClass, 0u);
    EXPECT_EQ(info.family, expected.family);
    EXPECT_EQ(info.model, expected.model);
    EXPECT_EQ(info.features, expected.features);
    EXPECT_EQ(info.byteOrder, CSYS_CPU_LITTLE_ENDIAN);
    EXPECT_EQ(info.numProcessors, expected.processors);
    EXPECT_EQ(info.coresAndThreads, expected.coresAndThreads);
    EXPECT_EQ(info.numPackages, expected.packages);
    EXPECT_STREQ(info.vendor, "GenuineIntel");
    EXPECT_STREQ(info.brand, expected.brand);
  }
  pmtsys_test::restoreOsCalls();
}

// Whichever request to pin the thread fails, detection fails with the OS status and the thread
// ends on the process's processors (unless returning there was the request that failed).
TEST(CpuInfo, PinningFailuresLeaveTheThreadOnTheProcessMask) {
  const FakeProcessor cpu{0xD, 0x906EA, 0, 0, kSimd, 0, "Fake"};
  g_processor = &cpu;
  uint64_t processMask = 0, systemMask = 0;
  ASSERT_TRUE(os_getProcessAffinityMask(&processMask, &systemMask));
  for (size_t failAt = 1;; ++failAt) {
    const auto& requests = pmtsys_test::recordAffinityChanges(failAt);
    csys_cpuinfo info{};
    const csys_status status = csys_cpuinfo_detectWith(fakeCpuid, &info);
    pmtsys_test::restoreOsCalls();
    if (!CSYS_FAILED(status)) {
      EXPECT_EQ(requests.size(), static_cast<size_t>(std::popcount(processMask)) + 2);
      EXPECT_EQ(requests.back(), processMask);
      break;
    }
    EXPECT_EQ(status, CSYS_E_OS);
    ASSERT_GE(requests.size(), failAt);
    const uint64_t final = os_setCurrentThreadAffinityMask(processMask);
    if (requests.size() != failAt || requests.back() != processMask) {
      EXPECT_EQ(final, processMask) << failAt;
    }
  }
}

TEST(CpuInfo, FailedDetectionIsRetried) {
  pmtsys_test::answerSystemInfo(OS_PROCESSOR_ARCHITECTURE_ARM64, 2);
  csys_cpuinfo info{};
  info.family = 77;
  EXPECT_EQ(csys_cpuinfo_init(&info), CSYS_E_NOT_SUPPORTED);
  EXPECT_EQ(info.family, 77);  // nothing copied
  pmtsys_test::restoreOsCalls();
  ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
  EXPECT_EQ(info.architecture, CSYS_CPU_ARCH_X64);
  EXPECT_NE(info.features & CSYS_CPU_FEATURE_SSE2, 0u);
  EXPECT_EQ(info.features & 0x294u, 0u);  // no marker of the OS stage is left
  EXPECT_EQ(std::strlen(info.vendor), 12u);
  EXPECT_NE(info.brand[0], ' ');
}

TEST(CpuInfo, OverridesFollowTheMaskAndResetRestores) {
  csys_cpuinfo detected{};
  ASSERT_EQ(csys_cpuinfo_init(&detected), CSYS_OK);
  const csys_cpuinfo wanted{1, 3, 4, 0x505, 0x9, CSYS_CPU_BIG_ENDIAN, 7, 0x7F, 9, 9, "x", "y"};
  const struct {
    uint32_t mask;
    uint32_t features;  // expected, from the detected ones
  } kCases[] = {
      {CSYS_CPUINFO_FORCE_FEATURES, 0x9},
      {CSYS_CPUINFO_FORCE_ADD_FEATURES | CSYS_CPUINFO_FORCE_FAMILY, detected.features | 0x9},
      {CSYS_CPUINFO_FORCE_PROCESSOR_CLASS, detected.features & ~0x9u},
      {0x1FF, 0x9},
  };
  for (const auto& forced : kCases) {
    ASSERT_EQ(csys_cpuinfo_force(&wanted, forced.mask), CSYS_OK);
    csys_cpuinfo info{};
    ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
    const auto pick = [&](uint32_t bit, auto mine, auto theirs) {
      return (forced.mask & bit) != 0 ? mine : theirs;
    };
    EXPECT_EQ(info.features, forced.features);
    EXPECT_EQ(info.processorClass, pick(0x1, wanted.processorClass, 0u));
    EXPECT_EQ(info.family, pick(0x2, wanted.family, detected.family));
    EXPECT_EQ(info.model, pick(0x4, wanted.model, detected.model));
    EXPECT_EQ(info.byteOrder, pick(0x40, wanted.byteOrder, detected.byteOrder));
    EXPECT_EQ(info.numProcessors, pick(0x80, wanted.numProcessors, detected.numProcessors));
    EXPECT_EQ(info.activeProcessorMask,
              pick(0x100, wanted.activeProcessorMask, detected.activeProcessorMask));
    // Never overridden.
    EXPECT_EQ(info.architecture, detected.architecture);
    EXPECT_EQ(info.coresAndThreads, detected.coresAndThreads);
    EXPECT_STREQ(info.brand, detected.brand);
    ASSERT_EQ(csys_cpuinfo_reset(), CSYS_OK);
    ASSERT_EQ(csys_cpuinfo_init(&info), CSYS_OK);
    EXPECT_EQ(std::memcmp(&info, &detected, sizeof info), 0);
  }
}

}  // namespace
