// Buffered files: both backends' tables hold the runtime's calls under the same names, so the
// pass-through is written once. Wide names differ per backend (os_fileOpenWide).
#include <cstdio>

#include "os/os.h"
#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

FILE* os_fileOpen(const char* path, const char* mode) {
  return os_sys.fopen(path, mode);
}

int os_fileClose(FILE* file) {
  return os_sys.fclose(file);
}

int64_t os_fileTell(FILE* file) {
  return os_sys.ftell64(file);
}

int os_fileSeek(FILE* file, int64_t offset, int origin) {
  return os_sys.fseek64(file, offset, origin);
}
