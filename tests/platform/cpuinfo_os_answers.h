// Answers of the OS that processor and OS information rely on, injected through whichever
// backend's call table is built; restoreOsCalls() (support/os_faults.h) undoes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pmtsys_test {

// The OS reports this architecture (an OS_PROCESSOR_ARCHITECTURE_* value) and these processors.
void answerSystemInfo(uint16_t architecture, uint32_t processors);

// The OS refuses the version query.
void failVersionQuery();

// Records every mask the calling thread is restricted to; the `failAt`-th request (from 1)
// fails.
const std::vector<uint64_t>& recordAffinityChanges(size_t failAt);

}  // namespace pmtsys_test
