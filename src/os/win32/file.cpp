// Buffered files: the runtime's own calls; wide names are UTF-16 already.
#include <cstdio>

#include "os/os.h"
#include "os/win32/syscalls.h"

FILE* os_fileOpen(const char* path, const char* mode) {
  return os_sys.fopen(path, mode);
}

FILE* os_fileOpenWide(const wchar_t* path, const wchar_t* mode) {
  return os_sys._wfopen(path, mode);
}

int os_fileClose(FILE* file) {
  return os_sys.fclose(file);
}

int64_t os_fileTell(FILE* file) {
  return os_sys._ftelli64(file);
}

int os_fileSeek(FILE* file, int64_t offset, int origin) {
  return os_sys._fseeki64(file, offset, origin);
}
