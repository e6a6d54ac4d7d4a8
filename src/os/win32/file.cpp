// Wide names are UTF-16 already: the runtime takes them as they are.
#include <cstdio>

#include "os/os.h"
#include "os/win32/syscalls.h"

FILE* os_fileOpenWide(const wchar_t* path, const wchar_t* mode) {
  return os_sys._wfopen(path, mode);
}
