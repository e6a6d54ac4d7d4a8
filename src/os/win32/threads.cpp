// Threads and thread-local slots: the system's own calls. The only policy-free addition is the
// process-mask check of affinity, which Windows documents and Wine does not enforce.
#include <process.h>
#include <windows.h>

#include "os/os.h"
#include "os/win32/handle_cast.h"
#include "os/win32/syscalls.h"

os_handle os_beginThread(uint32_t stackSize, os_threadStart start, void* argument,
                         uint32_t* threadId) {
  unsigned id = 0;
  const uintptr_t thread = os_sys.beginthreadex(
      nullptr, stackSize, reinterpret_cast<unsigned(__stdcall*)(void*)>(start), argument, 0, &id);
  if (thread == 0) {
    return nullptr;
  }
  if (threadId != nullptr) {
    *threadId = id;
  }
  return toHandle(reinterpret_cast<HANDLE>(thread));
}

os_handle os_duplicateCurrentThread() {
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &duplicate,
                       THREAD_ALL_ACCESS, FALSE, 0)) {
    return nullptr;
  }
  return toHandle(duplicate);
}

uint32_t os_getCurrentThreadId() {
  return GetCurrentThreadId();
}

int32_t os_getThreadPriority(os_handle thread) {
  return GetThreadPriority(native(thread));
}

bool os_setThreadPriority(os_handle thread, int32_t priority) {
  return os_sys.SetThreadPriority(native(thread), priority) != FALSE;
}

int32_t os_getCurrentThreadPriority() {
  return GetThreadPriority(GetCurrentThread());
}

bool os_setCurrentThreadPriority(int32_t priority) {
  return os_sys.SetThreadPriority(GetCurrentThread(), priority) != FALSE;
}

uint64_t os_setThreadAffinityMask(os_handle thread, uint64_t mask) {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (!os_sys.GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
    return 0;
  }
  if (mask == 0 || (mask & ~static_cast<uint64_t>(process)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return os_sys.SetThreadAffinityMask(native(thread), static_cast<DWORD_PTR>(mask));
}

uint32_t os_tlsAlloc() {
  return os_sys.TlsAlloc();
}

bool os_tlsFree(uint32_t index) {
  return TlsFree(index) != FALSE;
}

void* os_tlsGetValue(uint32_t index) {
  return TlsGetValue(index);
}

bool os_tlsSetValue(uint32_t index, void* value) {
  return os_sys.TlsSetValue(index, value) != FALSE;
}
