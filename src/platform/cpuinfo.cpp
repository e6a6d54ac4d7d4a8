// The processor, described once per process: the OS's view (processor count, architecture,
// instruction sets it allows), then the processor's own identification read on the processor
// with the highest identification leaf.
#include <cstring>

#include "cleanup/cleanup_internal.h"
#include "csys_atomic.h"
#include "csys_cpuinfo.h"
#include "csys_sync.h"
#include "os/os.h"
#include "os/processor.h"
#include "platform/cpuinfo_internal.h"

namespace {

constexpr csys_cpuinfo kUndetected = {
    CSYS_CPU_ARCH_UNSUPPORTED, 0, -1, -1, 0, 0, 1, 1, 1, 0, {}, {}};

// Markers of instruction sets the OS refuses; cleared when the processor's features replace them.
constexpr uint32_t kOsRefusesSse = 0x4;
constexpr uint32_t kOsRefusesSse2 = 0x10;
constexpr uint32_t kOsRefusesSse3 = 0x80;
constexpr uint32_t kOsRefusesSse41 = 0x200;

constexpr uint32_t kEax = 0, kEbx = 1, kEcx = 2, kEdx = 3;

csys_cpuinfo g_detected = kUndetected;
csys_cpuinfo g_reported = kUndetected;
int32_t g_overridden = 0;
int32_t g_once = 0;

uint32_t bits(uint32_t value, unsigned low, unsigned count) {
  return (value >> low) & ((1u << count) - 1u);
}

csys_status osStage(csys_cpuinfo* record) {
  os_systemInfo system{};
  os_getSystemInfo(&system);
  record->numProcessors = system.numberOfProcessors;
  record->activeProcessorMask = static_cast<uint32_t>(system.activeProcessorMask);
  if (system.processorArchitecture == OS_PROCESSOR_ARCHITECTURE_INTEL) {
    record->architecture = CSYS_CPU_ARCH_X86;
  } else if (system.processorArchitecture == OS_PROCESSOR_ARCHITECTURE_AMD64) {
    record->architecture = CSYS_CPU_ARCH_X64;
  } else {
    return CSYS_E_NOT_SUPPORTED;
  }
  csys_osinfo os{};
  CSYS_RETURN_IF_FAILED(csys_osinfo_init(&os));
  // Only the versions the OS information classifies are asked; elsewhere (every POSIX system,
  // newer Windows) the processor's own report decides alone.
  if (os.kind == CSYS_OS_KIND_UNCLASSIFIED) return CSYS_OK;
  const struct {
    uint32_t osFeature, available, refused;
  } kReports[] = {
      {OS_PF_MMX_INSTRUCTIONS_AVAILABLE, CSYS_CPU_FEATURE_MMX, 0},
      {OS_PF_XMMI_INSTRUCTIONS_AVAILABLE, CSYS_CPU_FEATURE_SSE, kOsRefusesSse},
      {OS_PF_XMMI64_INSTRUCTIONS_AVAILABLE, CSYS_CPU_FEATURE_SSE2, kOsRefusesSse2},
      {OS_PF_SSE3_INSTRUCTIONS_AVAILABLE, CSYS_CPU_FEATURE_SSE3, kOsRefusesSse3},
  };
  for (const auto& report : kReports) {
    record->features |=
        os_isProcessorFeaturePresent(report.osFeature) ? report.available : report.refused;
  }
  return CSYS_OK;
}

csys_status byteOrder(csys_cpuinfo* record) {
  const uint32_t probe = 0x01020304;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  record->byteOrder = first == 1   ? CSYS_CPU_BIG_ENDIAN
                      : first == 4 ? CSYS_CPU_LITTLE_ENDIAN
                                   : CSYS_CPU_MIXED_ENDIAN;
  CSYS_CHECK(record->byteOrder != CSYS_CPU_MIXED_ENDIAN);
  return record->byteOrder == CSYS_CPU_MIXED_ENDIAN ? CSYS_E_NOT_SUPPORTED : CSYS_OK;
}

csys_status pinTo(uint64_t mask) {
  return os_setCurrentThreadAffinityMask(mask) != 0 ? CSYS_OK : CSYS_E_OS;
}

csys_status restoreAffinity(void* processMask) {
  return pinTo(*static_cast<const uint64_t*>(processMask));
}

// Pins the thread to the first processor with the highest basic leaf (registering the return
// to the process mask) and returns that leaf.
uint32_t pinToHighestLeaf(csys_cpuidFunc cpuid, const uint64_t* processMask,
                          CleanupFrame<1>& frame) {
  uint32_t registers[4] = {};
  uint32_t highest = 0;
  uint64_t chosen = 0;
  for (uint64_t rest = *processMask; rest != 0 && frame.ok(); rest &= rest - 1) {
    const uint64_t processor = rest & (~rest + 1);
    if (!frame.call(pinTo(processor))) break;
    if (chosen == 0) {
      frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, processMask, restoreAffinity);
    }
    frame.call(csys_sleep(0.0));
    cpuid(0, 0, registers);
    if (chosen == 0 || registers[kEax] > highest) {
      highest = registers[kEax];
      chosen = processor;
    }
  }
  if (chosen != 0 && frame.ok()) frame.call(pinTo(chosen));
  if (*processMask == 0) {
    cpuid(0, 0, registers);
    highest = registers[kEax];
  }
  return highest;
}

// Cores per package from leaf 4 and threads per core from leaf 1. A processor that reports
// fewer logical processors per package than cores counts one thread per core.
void topology(csys_cpuidFunc cpuid, uint32_t highestLeaf, const uint32_t leaf1[4],
              csys_cpuinfo* record) {
  if (highestLeaf < 4 || bits(leaf1[kEdx], 28, 1) == 0) {
    record->coresAndThreads = 0x101;
    record->numPackages = record->numProcessors;
    return;
  }
  uint32_t leaf4[4] = {};
  cpuid(4, 0, leaf4);
  const uint32_t cores = bits(leaf4[kEax], 26, 6) + 1;
  const uint32_t logical = bits(leaf1[kEbx], 16, 8);
  const uint32_t threads = logical / cores != 0 ? logical / cores : 1;
  record->coresAndThreads = cores * 256 + threads;
  record->numPackages = record->numProcessors / cores / threads;
}

void brand(csys_cpuidFunc cpuid, csys_cpuinfo* record) {
  uint32_t registers[12] = {};
  cpuid(0x80000000u, 0, registers);
  if (registers[kEax] < 0x80000004u) return;
  for (uint32_t i = 0; i < 3; ++i) cpuid(0x80000002u + i, 0, registers + 4 * i);
  char text[sizeof registers + 1] = {};
  std::memcpy(text, registers, sizeof registers);
  const char* start = text;
  while (*start == ' ') ++start;
  const size_t length = std::strlen(start);
  std::memcpy(record->brand, start,
              length < sizeof record->brand ? length : sizeof record->brand - 1);
}

csys_status processorStage(csys_cpuidFunc cpuid, csys_cpuinfo* record) {
  record->architecture = CSYS_CPU_ARCH_X64;
  uint64_t processMask = 0;
  uint64_t systemMask = 0;
  if (!os_getProcessAffinityMask(&processMask, &systemMask)) return CSYS_E_OS;
  CleanupFrame<1> frame;
  const uint32_t highestLeaf = pinToHighestLeaf(cpuid, &processMask, frame);
  if (!frame.ok()) return frame.close();
  uint32_t registers[4] = {};
  cpuid(0, 0, registers);
  std::memcpy(record->vendor, &registers[kEbx], 4);
  std::memcpy(record->vendor + 4, &registers[kEdx], 4);
  std::memcpy(record->vendor + 8, &registers[kEcx], 4);
  record->vendor[12] = '\0';

  uint32_t leaf1[4] = {};
  cpuid(1, 0, leaf1);
  const uint32_t signature = leaf1[kEax];
  record->family = static_cast<int32_t>(bits(signature, 8, 4));
  record->model = static_cast<int32_t>(
      ((bits(signature, 16, 4) * 16 + bits(signature, 4, 4)) << 8) | bits(signature, 0, 4));
  const uint32_t osMarkers = record->features;
  const struct {
    uint32_t present, refused, feature;
  } kFeatures[] = {
      {bits(leaf1[kEdx], 23, 1), 0, CSYS_CPU_FEATURE_MMX},
      {bits(leaf1[kEdx], 25, 1), kOsRefusesSse, CSYS_CPU_FEATURE_SSE},
      {bits(leaf1[kEdx], 26, 1), kOsRefusesSse2, CSYS_CPU_FEATURE_SSE2},
      {bits(leaf1[kEcx], 0, 1), kOsRefusesSse3, CSYS_CPU_FEATURE_SSE3},
      {bits(leaf1[kEcx], 19, 1), kOsRefusesSse41, CSYS_CPU_FEATURE_SSE41},
  };
  record->features = 0;
  for (const auto& feature : kFeatures) {
    if (feature.present != 0 && (osMarkers & feature.refused) == 0) {
      record->features |= feature.feature;
    }
  }
  topology(cpuid, highestLeaf, leaf1, record);
  brand(cpuid, record);
  return frame.close();
}

csys_status detect(void*) {
  csys_cpuinfo record{};
  CSYS_RETURN_IF_FAILED(csys_cpuinfo_detectWith(os_cpuid, &record));
  g_detected = record;
  g_reported = record;
  return CSYS_OK;
}

}  // namespace

csys_status csys_cpuinfo_detectWith(csys_cpuidFunc cpuid, csys_cpuinfo* record) {
  *record = kUndetected;
  CSYS_RETURN_IF_FAILED(osStage(record));
  CSYS_RETURN_IF_FAILED(byteOrder(record));
  return processorStage(cpuid, record);
}

const csys_cpuinfo* csys_cpuinfo_current(csys_status* status) {
  *status = csys_initializeOnce(detect, nullptr, &g_once);
  if (CSYS_FAILED(*status)) return nullptr;
  return g_overridden != 0 ? &g_reported : &g_detected;
}

extern "C" {

CSYS_API csys_status csys_cpuinfo_init(csys_cpuinfo* info) {
  CSYS_CHECK(info != nullptr);
  if (info == nullptr) return CSYS_E_INVALID_ARGUMENT;
  csys_status status = CSYS_OK;
  const csys_cpuinfo* current = csys_cpuinfo_current(&status);
  if (current != nullptr) *info = *current;
  return status;
}

CSYS_API csys_status csys_cpuinfo_force(const csys_cpuinfo* info, uint32_t mask) {
  CSYS_CHECK(info != nullptr);
  if (info == nullptr || mask == 0) return CSYS_OK;
  g_overridden = 1;
  if (mask & CSYS_CPUINFO_FORCE_PROCESSOR_CLASS) g_reported.processorClass = info->processorClass;
  if (mask & CSYS_CPUINFO_FORCE_FAMILY) g_reported.family = info->family;
  if (mask & CSYS_CPUINFO_FORCE_MODEL) g_reported.model = info->model;
  if (mask & CSYS_CPUINFO_FORCE_FEATURES) {
    g_reported.features = info->features;
  } else if (mask & CSYS_CPUINFO_FORCE_ADD_FEATURES) {
    g_reported.features |= info->features;
  } else {
    g_reported.features &= ~info->features;
  }
  if (mask & CSYS_CPUINFO_FORCE_BYTE_ORDER) g_reported.byteOrder = info->byteOrder;
  if (mask & CSYS_CPUINFO_FORCE_NUM_PROCESSORS) g_reported.numProcessors = info->numProcessors;
  if (mask & CSYS_CPUINFO_FORCE_ACTIVE_PROCESSOR_MASK) {
    g_reported.activeProcessorMask = info->activeProcessorMask;
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_cpuinfo_reset(void) {
  g_reported = g_detected;
  g_overridden = 0;
  return CSYS_OK;
}

}  // extern "C"
