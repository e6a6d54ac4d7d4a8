// The version-resource reader on any file (through the backend's call table) and every query on
// what it copies out: no read outside the file or the copy, and the answers agree with each other.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "os/os.h"
#include "os/posix/syscalls.h"

namespace {
const uint8_t* g_file = nullptr;
size_t g_fileSize = 0;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_file = data;
  g_fileSize = size;
  os_sys.open = [](const char*, int, mode_t) { return 1000; };
  os_sys.pread = [](int, void* buffer, size_t count, off_t offset) -> ssize_t {
    if (offset < 0 || static_cast<size_t>(offset) >= g_fileSize) return 0;
    const size_t got = std::min(count, g_fileSize - static_cast<size_t>(offset));
    std::memcpy(buffer, g_file + offset, got);
    return static_cast<ssize_t>(got);
  };
  os_sys.close = [](int) { return 0; };
  const uint32_t needed = os_fileVersionInfoSize("input");
  if (needed == 0) {
    FUZZ_CHECK(os_getLastError() == OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
    return 0;
  }
  FUZZ_CHECK(needed <= size);
  // Exactly the size asked for, so that a read past it is caught.
  std::vector<uint8_t> block(needed);
  FUZZ_CHECK(os_fileVersionInfo("input", needed, block.data()));
  os_fixedFileInfo fixed{};
  os_versionQueryFixed(block.data(), &fixed);
  char text[16];
  for (const char* path : {"\\StringFileInfo\\040904B0\\ProductName", "\\VarFileInfo\\Translation",
                           "\\StringFileInfo\\040904B0", "\\", "\\\\x\\"}) {
    const bool found = os_versionQueryString(block.data(), path, text, sizeof text);
    FUZZ_CHECK(!found || std::strlen(text) < sizeof text);
    FUZZ_CHECK(found == os_versionQueryString(block.data(), path, nullptr, 0));
  }
  return 0;
}
