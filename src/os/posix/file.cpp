// Buffered files. Wide names are UTF-32 here and the file system takes UTF-8 bytes; they are
// converted on the stack, since no name longer than PATH_MAX can be opened anyway.
#include <cerrno>
#include <climits>
#include <cstdio>

#include "os/os.h"
#include "os/posix/syscalls.h"

namespace {

static_assert(sizeof(wchar_t) == 4, "wide names are UTF-32 on this platform");

constexpr size_t kModeCapacity = 32;

// Appends the UTF-8 form of `text` to `out`, zero-terminated. False with errno set for a value
// that is no Unicode scalar (a surrogate or beyond U+10FFFF) or a result that does not fit.
bool toUtf8(const wchar_t* text, char* out, size_t capacity, int tooLong) {
  size_t n = 0;
  for (; *text != L'\0'; ++text) {
    const auto c = static_cast<uint32_t>(*text);
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      errno = EILSEQ;
      return false;
    }
    const size_t length = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    if (capacity - n <= length) {
      errno = tooLong;
      return false;
    }
    if (length == 1) {
      out[n++] = static_cast<char>(c);
      continue;
    }
    // Lead byte: length ones then a zero, then the top bits; continuation bytes carry 6 each.
    const auto lead = static_cast<uint32_t>(0xF00u >> length) & 0xFFu;
    out[n++] = static_cast<char>(lead | (c >> (6 * (length - 1))));
    for (size_t i = length - 1; i-- > 0;)
      out[n++] = static_cast<char>(0x80u | ((c >> (6 * i)) & 0x3Fu));
  }
  out[n] = '\0';
  return true;
}

}  // namespace

FILE* os_fileOpen(const char* path, const char* mode) {
  return os_sys.fopen(path, mode);
}

FILE* os_fileOpenWide(const wchar_t* path, const wchar_t* mode) {
  char narrowPath[PATH_MAX];
  char narrowMode[kModeCapacity];
  if (!toUtf8(path, narrowPath, sizeof narrowPath, ENAMETOOLONG) ||
      !toUtf8(mode, narrowMode, sizeof narrowMode, EINVAL)) {
    return nullptr;
  }
  return os_sys.fopen(narrowPath, narrowMode);
}

int os_fileClose(FILE* file) {
  return os_sys.fclose(file);
}

int64_t os_fileTell(FILE* file) {
  return os_sys.ftello(file);
}

int os_fileSeek(FILE* file, int64_t offset, int origin) {
  return os_sys.fseeko(file, static_cast<off_t>(offset), origin);
}
