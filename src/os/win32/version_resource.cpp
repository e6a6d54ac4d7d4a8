// Version resources through version.dll. Text is read as UTF-16 (VerQueryValueW) and converted
// to UTF-8 here, so that it is the same text on every platform rather than text in the ANSI
// code page that VerQueryValueA would give.
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <iterator>

#include "os/os.h"
#include "os/win32/syscalls.h"

namespace {

// UTF-16 text (up to its terminator) to UTF-8, cut at a character boundary to fit `capacity`
// bytes with the terminator. `capacity` is at least 1.
void toUtf8(const wchar_t* text, size_t units, char* buffer, size_t capacity) {
  size_t used = 0;
  for (size_t i = 0; i < units;) {
    const bool pair = IS_HIGH_SURROGATE(text[i]) && i + 1 < units && IS_LOW_SURROGATE(text[i + 1]);
    const int step = pair ? 2 : 1;
    char encoded[4];
    const int length = os_sys.WideCharToMultiByte(CP_UTF8, 0, text + i, step, encoded,
                                                  sizeof encoded, nullptr, nullptr);
    if (length <= 0 || static_cast<size_t>(length) >= capacity - used) break;
    std::memcpy(buffer + used, encoded, static_cast<size_t>(length));
    used += static_cast<size_t>(length);
    i += static_cast<size_t>(step);
  }
  buffer[used] = '\0';
}

// VerQueryValueW for a narrow sub-block path.
bool query(const void* data, const char* subBlock, void** value, UINT* length) {
  wchar_t path[512];
  return os_sys.MultiByteToWideChar(CP_UTF8, 0, subBlock, -1, path, std::size(path)) != 0 &&
         os_sys.VerQueryValueW(data, path, value, length) != FALSE;
}

}  // namespace

uint32_t os_fileVersionInfoSize(const char* fileName) {
  DWORD ignored = 0;
  return os_sys.GetFileVersionInfoSizeA(fileName, &ignored);
}

bool os_fileVersionInfo(const char* fileName, uint32_t size, void* data) {
  return os_sys.GetFileVersionInfoA(fileName, 0, size, data) != FALSE;
}

// A root value that is not a signed VS_FIXEDFILEINFO is no fixed information.
bool os_versionQueryFixed(const void* data, os_fixedFileInfo* info) {
  void* value = nullptr;
  UINT length = 0;
  if (info == nullptr || !query(data, "\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  if (fixed->dwSignature != VS_FFI_SIGNATURE) return false;
  *info = {fixed->dwFileVersionMS, fixed->dwFileVersionLS, fixed->dwProductVersionMS,
           fixed->dwProductVersionLS};
  return true;
}

// `buffer` may be null when `bufferCapacity` is 0: the result then only tells whether the
// value exists. The length VerQueryValueW reports counts characters, maybe with the terminator.
bool os_versionQueryString(const void* data, const char* subBlock, char* buffer,
                           size_t bufferCapacity) {
  void* value = nullptr;
  UINT length = 0;
  if (!query(data, subBlock, &value, &length)) return false;
  if (bufferCapacity > 0) {
    const auto* text = static_cast<const wchar_t*>(value);
    toUtf8(text, text != nullptr ? wcsnlen(text, length) : 0, buffer, bufferCapacity);
  }
  return true;
}
