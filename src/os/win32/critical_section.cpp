// Critical sections are the system's own; the caller's storage holds a CRITICAL_SECTION.
#include <windows.h>

#include "os/os.h"
#include "os/win32/syscalls.h"

namespace {

CRITICAL_SECTION* section(void* cs) {
  return static_cast<CRITICAL_SECTION*>(cs);
}

}  // namespace

size_t os_criticalSectionSize() {
  return sizeof(CRITICAL_SECTION);
}

// Since Windows Vista initialization cannot fail.
bool os_criticalSectionInit(void* cs) {
  os_sys.InitializeCriticalSection(section(cs));
  return true;
}

bool os_criticalSectionInitSpin(void* cs, uint32_t spinCount) {
  return os_sys.InitializeCriticalSectionAndSpinCount(section(cs), spinCount) != FALSE;
}

void os_criticalSectionDelete(void* cs) {
  os_sys.DeleteCriticalSection(section(cs));
}

void os_criticalSectionEnter(void* cs) {
  os_sys.EnterCriticalSection(section(cs));
}

void os_criticalSectionLeave(void* cs) {
  os_sys.LeaveCriticalSection(section(cs));
}
