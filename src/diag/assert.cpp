// Assertion reports: where the failing check is (module, load address, code address) and which
// product version is installed, handed to the OS layer's report sink, which returns.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "csys_assert.h"
#include "csys_memory.h"
#include "diag/assert_internal.h"
#include "os/os.h"

namespace {

std::atomic<cstd_AssertGetVersionAFunc> g_versionFunc{nullptr};

bool equalsIgnoreCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

// Frees the version buffer on every way out of the reader.
struct BlockGuard {
  void* block = nullptr;
  ~BlockGuard() { csys_memory_free_internal(&block); }
};

// The decoding of the low file-version word into service and cumulative release numbers.
// Returns false for values that mark the version invalid.
bool decodeRelease(uint32_t low, uint32_t* sr, uint32_t* cr) {
  *sr = 0;
  *cr = 0;
  if (low < 10000) {
    const uint32_t k = low / 100;
    const uint32_t r = low % 100;
    if (k == 1) *sr = r;
    if (k == 2) *cr = r;
    if (k == 3) {
      *sr = 1;
      *cr = r;
    }
    return true;
  }
  if (low < 20000) {
    *sr = (low - 10000) / 100;
    *cr = (low - 10000) % 100;
    return true;
  }
  return false;
}

uint32_t prereleaseOf(const void* data) {
  char special[64];
  if (!os_versionQueryString(data, "\\StringFileInfo\\040904B0\\SpecialBuild", special,
                             sizeof special)) {
    return 0;
  }
  return (equalsIgnoreCase(special, "Prerelease") || std::strcmp(special, "1") == 0) ? 1 : 0;
}

// Appends formatted text, keeping the buffer zero-terminated and cut to its capacity.
class TextBuilder {
 public:
  TextBuilder(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    buffer_[0] = '\0';
  }

  template <typename... Args>
  void append(const char* format, Args... args) {
    if (used_ + 1 >= capacity_) return;
    const int written = std::snprintf(buffer_ + used_, capacity_ - used_, format, args...);
    if (written > 0) used_ = std::min(capacity_ - 1, used_ + static_cast<size_t>(written));
  }

 private:
  char* buffer_;
  size_t capacity_;
  size_t used_ = 0;
};

}  // namespace

void cstd_assert_getCodeLocation(const void* codeAddress, char* buffer, size_t capacity) {
  char path[OS_MAX_PATH];
  uintptr_t loadAddress = 0;
  if (!os_moduleOfAddress(codeAddress, &loadAddress, path, sizeof path)) path[0] = '\0';
  const char* separator = std::strrchr(path, OS_PATH_SEPARATOR);
  const char* moduleName = separator != nullptr ? separator + 1 : path;
  const auto load = static_cast<unsigned long long>(loadAddress);
  const auto code = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(codeAddress));
  TextBuilder text(buffer, capacity);
  if (moduleName[0] != '\0') {
    text.append("%s:0x%llx:0x%llx", moduleName, load, code);
  } else {
    text.append("0x%llx:0x%llx", load, code);
  }
}

csys_status cstd_assert_readVersionResource(const char* fileName, cstd_versionInfo* info) {
  *info = cstd_versionInfo{};
  csys_status status = CSYS_OK;
  BlockGuard data;
  const uint32_t size = os_fileVersionInfoSize(fileName);
  if (size != 0) status = csys_memory_alloc_internal(size, &data.block);
  os_fixedFileInfo fixed{};
  if (size != 0 && CSYS_SUCCEEDED(status) && os_fileVersionInfo(fileName, size, data.block) &&
      os_versionQueryFixed(data.block, &fixed)) {
    const uint32_t high = fixed.fileVersionMS >> 16;
    const uint32_t low = fixed.fileVersionMS & 0xFFFFu;
    const uint32_t patch = fixed.fileVersionLS >> 16;
    const uint32_t build = fixed.fileVersionLS & 0xFFFFu;
    uint32_t sr = 0;
    uint32_t cr = 0;
    if (decodeRelease(low, &sr, &cr)) {
      info->versionWord = (high / 1000) << 24 | ((high % 1000) / 100) << 16 | (high % 100) << 8 |
                          prereleaseOf(data.block);
      info->releaseWord = sr << 24 | cr << 16 | patch << 8 | build;
      os_versionQueryString(data.block, "\\StringFileInfo\\040904B0\\ProductName",
                            info->productName, sizeof info->productName);
    }
  }
  if (info->versionWord == 0) *info = cstd_versionInfo{};
  return status;
}

void cstd_assert_formatVersion(const cstd_versionInfo& info, char* buffer, size_t capacity) {
  const auto byte = [](uint32_t word, int shift) {
    return static_cast<int>((word >> shift) & 0xFF);
  };
  TextBuilder text(buffer, capacity);
  text.append("%s", info.productName);
  text.append(" %d.%d.%d", byte(info.versionWord, 24), byte(info.versionWord, 16),
              byte(info.versionWord, 8));
  if (byte(info.releaseWord, 24) != 0) text.append(" SR%02d", byte(info.releaseWord, 24));
  if (byte(info.releaseWord, 16) != 0) text.append(" CR%02d", byte(info.releaseWord, 16));
  if (byte(info.releaseWord, 8) != 0) text.append(" PR%02d", byte(info.releaseWord, 8));
  if (byte(info.releaseWord, 0) != 0) text.append(" BLD%02d", byte(info.releaseWord, 0));
  if (byte(info.versionWord, 0) == 1) text.append(" Prerelease");
}

csys_status cstd_assert_getVersionDefault(char* buffer) {
  cstd_versionInfo info{};
  char path[OS_MAX_PATH];
  if (os_findLoadedModule(CSTD_ASSERT_MODULE_BASE_NAME, path, sizeof path)) {
    char* separator = std::strrchr(path, OS_PATH_SEPARATOR);
    char* fileName = separator != nullptr ? separator + 1 : path;
    const size_t room = sizeof path - static_cast<size_t>(fileName - path);
    if (std::snprintf(fileName, room, "%s", CSTD_ASSERT_VERSION_FILE) < static_cast<int>(room)) {
      cstd_assert_readVersionResource(path, &info);
    }
  }
  cstd_assert_formatVersion(info, buffer, CSTD_ASSERT_VERSION_CAPACITY);
  return CSYS_OK;
}

csys_status cstd_assert_report(uint32_t line, const void* codeAddress) {
  char location[CSTD_ASSERT_LOCATION_CAPACITY];
  cstd_assert_getCodeLocation(codeAddress, location, sizeof location);
  char version[CSTD_ASSERT_VERSION_CAPACITY] = "";
  const cstd_AssertGetVersionAFunc installed = g_versionFunc.load(std::memory_order_relaxed);
  const csys_status status =
      installed != nullptr ? installed(version) : cstd_assert_getVersionDefault(version);
  if (CSYS_FAILED(status)) return status;
  version[sizeof version - 1] = '\0';
  char message[CSTD_ASSERT_VERSION_CAPACITY + 64];
  std::snprintf(message, sizeof message, "Contact Tessaly Corporation for assistance (%s)",
                version[0] != '\0' ? version : "unknown version");
  os_assertReport(message, location[0] != '\0' ? location : "unknown module", line);
  return status;
}

extern "C" {

CSYS_API __attribute__((noinline)) csys_status cstd_assert_(uint32_t line) {
  return cstd_assert_report(line, __builtin_return_address(0));
}

CSYS_API csys_status cstd_installAssertGetVersionAFunc_(cstd_AssertGetVersionAFunc func) {
  g_versionFunc.store(func, std::memory_order_relaxed);
  return CSYS_OK;
}

}  // extern "C"
