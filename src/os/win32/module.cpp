// Module paths and load addresses from the loader: a module's handle is its load address, and
// the allocation that holds an address inside an image starts at that image's base.
#include <windows.h>

#include <algorithm>

#include "os/os.h"
#include "os/win32/syscalls.h"

namespace {

// The module's full path, cut to fit (older systems leave a cut path unterminated).
bool copyModulePath(HMODULE module, char* path, size_t capacity) {
  if (capacity == 0) return false;
  const auto size = static_cast<DWORD>(std::min<size_t>(capacity, MAXDWORD));
  const DWORD length = os_sys.GetModuleFileNameA(module, path, size);
  path[std::min<size_t>(length, size - 1)] = '\0';
  return length != 0;
}

}  // namespace

bool os_moduleOfAddress(const void* address, uintptr_t* loadAddress, char* path,
                        size_t pathCapacity) {
  *loadAddress = 0;
  if (pathCapacity > 0) path[0] = '\0';
  MEMORY_BASIC_INFORMATION region{};
  if (os_sys.VirtualQuery(address, &region, sizeof region) == 0 || region.Type != MEM_IMAGE ||
      region.AllocationBase == nullptr) {
    return false;
  }
  *loadAddress = reinterpret_cast<uintptr_t>(region.AllocationBase);
  copyModulePath(static_cast<HMODULE>(region.AllocationBase), path, pathCapacity);
  return true;
}

// The loader appends ".dll" to a base name without an extension.
bool os_findLoadedModule(const char* baseName, char* path, size_t pathCapacity) {
  if (pathCapacity > 0) path[0] = '\0';
  const HMODULE module = os_sys.GetModuleHandleA(baseName);
  return module != nullptr && copyModulePath(module, path, pathCapacity);
}
