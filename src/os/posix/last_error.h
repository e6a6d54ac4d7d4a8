// The one mapping of the POSIX backend from a failed call's errno value to Windows numbering.
#pragma once

#include <cstdint>

namespace os_posix {

uint32_t windowsError(int error);
// Makes windowsError(error) the calling thread's last error.
void setLastErrorFromErrno(int error);

}  // namespace os_posix
