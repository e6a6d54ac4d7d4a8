// Version resources through version.dll. The data block is the one GetFileVersionInfoA fills:
// its size includes the room VerQueryValueA uses to convert text to the ANSI code page.
#include <windows.h>

#include <cstring>

#include "os/os.h"

uint32_t os_fileVersionInfoSize(const char* fileName) {
  DWORD ignored = 0;
  return GetFileVersionInfoSizeA(fileName, &ignored);
}

bool os_fileVersionInfo(const char* fileName, uint32_t size, void* data) {
  return GetFileVersionInfoA(fileName, 0, size, data) != FALSE;
}

// A root value that is not a signed VS_FIXEDFILEINFO is no fixed information.
bool os_versionQueryFixed(const void* data, os_fixedFileInfo* info) {
  void* value = nullptr;
  UINT length = 0;
  if (info == nullptr || !VerQueryValueA(data, "\\", &value, &length) ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) return false;
  *info = {fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
           fixed->dwProductVersionLS};
  return true;
}

// `buffer` may be null when `bufferCapacity` is 0: the result then only tells whether the
// value exists. The length VerQueryValueA reports counts characters, maybe with the terminator.
bool os_versionQueryString(const void* data, const char* subBlock, char* buffer,
                           size_t bufferCapacity) {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data, subBlock, &value, &length)) return false;
  if (bufferCapacity > 0) {
    const auto* text = static_cast<const char*>(value);
    size_t copied = text != nullptr ? strnlen(text, length) : 0;
    if (copied >= bufferCapacity) copied = bufferCapacity - 1;
    std::memcpy(buffer, text, copied);
    buffer[copied] = '\0';
  }
  return true;
}
