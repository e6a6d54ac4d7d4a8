// The library's only work at load: it turns off the per-thread attach and detach notifications
// it has no use for. Every process-wide object is created lazily on first use.
#include <windows.h>

#include "os/win32/syscalls.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) os_sys.DisableThreadLibraryCalls(instance);
  return TRUE;
}
