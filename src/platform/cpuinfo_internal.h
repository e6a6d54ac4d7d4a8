// What the rest of the library reads of the processor information without copying it, and the
// detection with a replaceable source of processor identification for tests.
#pragma once

#include "csys_cpuinfo.h"

// The record csys_cpuinfo_init would copy out (the overridden one after csys_cpuinfo_force);
// null with *status set when detection fails.
const csys_cpuinfo* csys_cpuinfo_current(csys_status* status);

// Processor identification: eax, ebx, ecx, edx of a leaf and sub-leaf.
using csys_cpuidFunc = void (*)(uint32_t leaf, uint32_t subleaf, uint32_t registers[4]);

// Detection into *record: the OS's answers, then the processor's through `cpuid`.
csys_status csys_cpuinfo_detectWith(csys_cpuidFunc cpuid, csys_cpuinfo* record);
