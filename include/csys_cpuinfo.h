/* Processor and operating-system information, detected once per process and copied out to
 * callers; selected processor fields can be overridden process-wide. */
#ifndef CSYS_CPUINFO_H
#define CSYS_CPUINFO_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* architecture */
#define CSYS_CPU_ARCH_UNSUPPORTED 0u
#define CSYS_CPU_ARCH_X86 1u
#define CSYS_CPU_ARCH_X64 5u

/* features */
#define CSYS_CPU_FEATURE_MMX 0x1u
#define CSYS_CPU_FEATURE_SSE 0x2u
#define CSYS_CPU_FEATURE_SSE2 0x8u
#define CSYS_CPU_FEATURE_SSE3 0x40u
#define CSYS_CPU_FEATURE_SSE41 0x100u

/* byteOrder */
#define CSYS_CPU_BIG_ENDIAN 1u
#define CSYS_CPU_LITTLE_ENDIAN 2u
#define CSYS_CPU_MIXED_ENDIAN 3u

typedef struct csys_cpuinfo {
  uint32_t architecture;
  uint32_t processorClass;
  int32_t family;
  int32_t model; /* (display model << 8) | stepping */
  uint32_t features;
  uint32_t byteOrder;
  uint32_t numProcessors;
  uint32_t activeProcessorMask;
  uint32_t numPackages;
  uint32_t coresAndThreads; /* (cores per package << 8) | threads per core */
  char vendor[13];
  char brand[48];
} csys_cpuinfo;

/* Override mask of csys_cpuinfo_force. Without FEATURES or ADD_FEATURES the named features are
 * removed from the reported ones. */
#define CSYS_CPUINFO_FORCE_PROCESSOR_CLASS 0x1u
#define CSYS_CPUINFO_FORCE_FAMILY 0x2u
#define CSYS_CPUINFO_FORCE_MODEL 0x4u
#define CSYS_CPUINFO_FORCE_FEATURES 0x8u
#define CSYS_CPUINFO_FORCE_ADD_FEATURES 0x10u
#define CSYS_CPUINFO_FORCE_BYTE_ORDER 0x40u
#define CSYS_CPUINFO_FORCE_NUM_PROCESSORS 0x80u
#define CSYS_CPUINFO_FORCE_ACTIVE_PROCESSOR_MASK 0x100u

CSYS_API csys_status csys_cpuinfo_init(csys_cpuinfo* info);
CSYS_API csys_status csys_cpuinfo_force(const csys_cpuinfo* info, uint32_t mask);
CSYS_API csys_status csys_cpuinfo_reset(void);

/* platform: 0 before detection */
#define CSYS_OS_PLATFORM_WINDOWS 1u
#define CSYS_OS_PLATFORM_POSIX 2u /* kernel release numbers, kind 0, no service pack */

/* kind: 0 = not classified (every Linux system, and Windows versions after NT 6) */
#define CSYS_OS_KIND_UNCLASSIFIED 0u
#define CSYS_OS_KIND_WIN32S 1u
#define CSYS_OS_KIND_WIN95 2u
#define CSYS_OS_KIND_WIN98 3u
#define CSYS_OS_KIND_NT4 5u
#define CSYS_OS_KIND_NT5 6u
#define CSYS_OS_KIND_NT51 7u
#define CSYS_OS_KIND_NT6 8u

typedef struct csys_osinfo {
  uint32_t platform;
  uint32_t kind;
  int32_t major;
  int32_t minor;
  int32_t build;
  int32_t servicePack;
  int32_t reserved;
} csys_osinfo;

CSYS_API csys_status csys_osinfo_init(csys_osinfo* info);
CSYS_API csys_status csys_osinfo_reset(void);

CSYS_EXTERN_C_END

#endif /* CSYS_CPUINFO_H */
