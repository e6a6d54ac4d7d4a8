// File wrappers: the runtime's buffered streams with library statuses.
#include "csys_file.h"

#include <cerrno>
#include <cstdint>

#include "diag/check.h"
#include "os/os.h"

namespace {

// Open for both name widths: whatever the variable held is closed first.
template <typename Char>
csys_status openStream(const Char* path, const Char* mode, FILE** file,
                       FILE* (*open)(const Char*, const Char*)) {
  CSYS_CHECK(path != nullptr && mode != nullptr && file != nullptr);
  if (path == nullptr || mode == nullptr || file == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*file != nullptr) CSYS_RETURN_IF_FAILED(csys_fileClose(file));
  *file = open(path, mode);
  return *file != nullptr ? CSYS_OK : CSYS_E_FILE_OPEN;
}

// -1 is a failure only if the runtime said so through errno.
csys_status tell(FILE* stream, int64_t* position) {
  errno = 0;
  const int64_t answer = os_fileTell(stream);
  if (answer == -1 && errno != 0) return CSYS_E_FILE_IO;
  *position = answer;
  return CSYS_OK;
}

// An unknown origin is reported and taken as the beginning.
csys_status seek(FILE* stream, int64_t offset, int32_t origin) {
  if (stream == nullptr) return CSYS_E_INVALID_ARGUMENT;
  CSYS_CHECK(origin >= CSYS_FILE_SEEK_BEGIN && origin <= CSYS_FILE_SEEK_CURRENT);
  const int whence = origin == CSYS_FILE_SEEK_END       ? SEEK_END
                     : origin == CSYS_FILE_SEEK_CURRENT ? SEEK_CUR
                                                        : SEEK_SET;
  return os_fileSeek(stream, offset, whence) != 0 ? CSYS_E_FILE_IO : CSYS_OK;
}

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_fileOpenA(const char* path, const char* mode, FILE** file) {
  return openStream(path, mode, file, os_fileOpen);
}

CSYS_API csys_status csys_fileOpenW(const wchar_t* path, const wchar_t* mode, FILE** file) {
  return openStream(path, mode, file, os_fileOpenWide);
}

CSYS_API csys_status csys_fileClose(FILE** file) {
  CSYS_CHECK(file != nullptr);
  if (file == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (*file == nullptr) return CSYS_OK;
  const int result = os_fileClose(*file);
  *file = nullptr;
  return result == EOF ? CSYS_E_FILE_IO : CSYS_OK;
}

CSYS_API csys_status csys_fileCloseNoFail(FILE** file) {
  csys_fileClose(file);
  return CSYS_OK;
}

// A position beyond the 32-bit range is an error of this call, not a wrapped number.
CSYS_API csys_status csys_fileTell(FILE* stream, int32_t* position) {
  CSYS_CHECK(stream != nullptr && position != nullptr);
  if (stream == nullptr || position == nullptr) return CSYS_E_INVALID_ARGUMENT;
  int64_t wide = 0;
  CSYS_RETURN_IF_FAILED(tell(stream, &wide));
  if (wide > INT32_MAX) return CSYS_E_FILE_IO;
  *position = static_cast<int32_t>(wide);
  return CSYS_OK;
}

CSYS_API csys_status csys_fileTell64(FILE* stream, int64_t* position) {
  CSYS_CHECK(stream != nullptr && position != nullptr);
  if (stream == nullptr || position == nullptr) return CSYS_E_INVALID_ARGUMENT;
  return tell(stream, position);
}

CSYS_API csys_status csys_fileSeek(FILE* stream, int32_t offset, int32_t origin) {
  return seek(stream, offset, origin);
}

CSYS_API csys_status csys_fileSeek64(FILE* stream, int64_t offset, int32_t origin) {
  return seek(stream, offset, origin);
}

// A negative size is no buffer at all and is treated like 0; a missing directory or name is an
// empty one.
CSYS_API char* csys_fileMakePath(const char* directory, const char* name, int32_t size, char* out) {
  if (size <= 0) return out;
  CSYS_CHECK(out != nullptr);
  if (out == nullptr) return out;
  if (directory == nullptr) directory = "";
  if (name == nullptr) name = "";
  int32_t n = 0;
  // Copies while there is room; the terminator is written but not counted.
  const auto append = [&](const char* text) {
    for (; n < size; ++text) {
      out[n] = *text;
      if (*text == '\0') break;
      ++n;
    }
  };
  out[0] = '\0';
  append(directory);
  if (n > 0 && n < size && out[n - 1] != ':') {
    if (isSeparator(out[n - 1]) && isSeparator(name[0])) {
      ++name;
    } else if (!isSeparator(out[n - 1]) && !isSeparator(name[0])) {
      out[n++] = '/';
    }
  }
  append(name);
  out[size - 1] = '\0';
  return out;
}

}  // extern "C"
