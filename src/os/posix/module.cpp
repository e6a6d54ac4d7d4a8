// Module paths and load addresses from the dynamic loader, made absolute: the loader reports
// the string a library was opened with, which may be relative to a directory since left.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "os/os.h"
#include "os/posix/syscalls.h"

namespace {

bool copyPath(const char* source, char* path, size_t capacity) {
  if (capacity == 0) return false;
  const int written = std::snprintf(path, capacity, "%s", source);
  return written >= 0;
}

// Absolute form of a loader path; the main program's own file comes from /proc.
bool absolutePath(const char* loaderName, bool isMainProgram, char* path, size_t capacity) {
  if (capacity == 0) return false;
  path[0] = '\0';
  if (!isMainProgram && loaderName != nullptr && loaderName[0] == '/') {
    return copyPath(loaderName, path, capacity);
  }
  char resolved[PATH_MAX];
  const char* name = isMainProgram ? "/proc/self/exe" : loaderName;
  if (name == nullptr || os_sys.realpath(name, resolved) == nullptr) return false;
  return copyPath(resolved, path, capacity);
}

struct MainProgramSearch {
  const void* address;
  bool contains = false;
};

// The first object the loader reports is the main program: does one of its segments hold the
// address? (For the main program the loader names argv[0], not a usable path.)
int searchMainProgram(struct dl_phdr_info* info, size_t /*size*/, void* data) {
  auto* search = static_cast<MainProgramSearch*>(data);
  const auto address = reinterpret_cast<ElfW(Addr)>(search->address);
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    const ElfW(Addr) start = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD && address >= start && address - start < segment.p_memsz) {
      search->contains = true;
    }
  }
  return 1;
}

bool matchesBaseName(const char* fileName, const char* baseName) {
  const size_t length = std::strlen(baseName);
  if (std::strcmp(fileName, baseName) == 0) return true;
  // libNAME.so or a versioned libNAME.so.N...
  if (std::strncmp(fileName, "lib", 3) != 0 || std::strncmp(fileName + 3, baseName, length) != 0) {
    return false;
  }
  const char* suffix = fileName + 3 + length;
  return std::strcmp(suffix, ".so") == 0 || std::strncmp(suffix, ".so.", 4) == 0;
}

struct ModuleSearch {
  const char* baseName;
  const char* loaderName = nullptr;
};

int findByBaseName(struct dl_phdr_info* info, size_t /*size*/, void* data) {
  auto* search = static_cast<ModuleSearch*>(data);
  const char* name = info->dlpi_name;
  if (name == nullptr || name[0] == '\0') return 0;
  const char* slash = std::strrchr(name, '/');
  if (!matchesBaseName(slash != nullptr ? slash + 1 : name, search->baseName)) return 0;
  search->loaderName = name;
  return 1;
}

}  // namespace

bool os_moduleOfAddress(const void* address, uintptr_t* loadAddress, char* path,
                        size_t pathCapacity) {
  *loadAddress = 0;
  if (pathCapacity > 0) path[0] = '\0';
  Dl_info info{};
  if (os_sys.dladdr(address, &info) == 0 || info.dli_fbase == nullptr) return false;
  *loadAddress = reinterpret_cast<uintptr_t>(info.dli_fbase);
  MainProgramSearch main{address};
  os_sys.dl_iterate_phdr(searchMainProgram, &main);
  absolutePath(info.dli_fname, main.contains, path, pathCapacity);
  return true;
}

bool os_findLoadedModule(const char* baseName, char* path, size_t pathCapacity) {
  if (pathCapacity > 0) path[0] = '\0';
  ModuleSearch search{baseName};
  os_sys.dl_iterate_phdr(findByBaseName, &search);
  return search.loaderName != nullptr && absolutePath(search.loaderName, false, path, pathCapacity);
}
