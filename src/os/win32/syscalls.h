// Every call of the Windows backend that can fail (and the lock calls, which tests count) goes
// through this one table, as the POSIX backend's calls do. Tests replace entries and restore them
// with os_win32SyscallsReset().
#pragma once

#include <windows.h>

// Every entry carries its default here; a new entry is one line with its default.
struct os_win32Syscalls {
  VOID(WINAPI* Sleep)(DWORD milliseconds) = ::Sleep;
  BOOL(WINAPI* SwitchToThread)() = ::SwitchToThread;
  SIZE_T(WINAPI* VirtualQuery)
  (LPCVOID address, PMEMORY_BASIC_INFORMATION region, SIZE_T size) = ::VirtualQuery;
  HMODULE(WINAPI* GetModuleHandleA)(LPCSTR name) = ::GetModuleHandleA;
  DWORD(WINAPI* GetModuleFileNameA)(HMODULE module, LPSTR path, DWORD size) = ::GetModuleFileNameA;
  BOOL(WINAPI* DisableThreadLibraryCalls)(HMODULE module) = ::DisableThreadLibraryCalls;
  // Kernel objects.
  HANDLE(WINAPI* CreateMutexA)
  (LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name) = ::CreateMutexA;
  HANDLE(WINAPI* CreateSemaphoreA)
  (LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum, LPCSTR name) = ::CreateSemaphoreA;
  HANDLE(WINAPI* CreateEventA)
  (LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
   LPCSTR name) = ::CreateEventA;
  HANDLE(WINAPI* OpenMutexA)(DWORD access, BOOL inherit, LPCSTR name) = ::OpenMutexA;
  HANDLE(WINAPI* OpenSemaphoreA)(DWORD access, BOOL inherit, LPCSTR name) = ::OpenSemaphoreA;
  HANDLE(WINAPI* OpenEventA)(DWORD access, BOOL inherit, LPCSTR name) = ::OpenEventA;
  BOOL(WINAPI* CloseHandle)(HANDLE handle) = ::CloseHandle;
  BOOL(WINAPI* ReleaseMutex)(HANDLE mutex) = ::ReleaseMutex;
  BOOL(WINAPI* ReleaseSemaphore)
  (HANDLE semaphore, LONG count, LPLONG previous) = ::ReleaseSemaphore;
  BOOL(WINAPI* SetEvent)(HANDLE event) = ::SetEvent;
  BOOL(WINAPI* ResetEvent)(HANDLE event) = ::ResetEvent;
  DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD milliseconds) = ::WaitForSingleObject;
  DWORD(WINAPI* WaitForMultipleObjects)
  (DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds) = ::WaitForMultipleObjects;
  // Critical sections.
  VOID(WINAPI* InitializeCriticalSection)(LPCRITICAL_SECTION cs) = ::InitializeCriticalSection;
  BOOL(WINAPI* InitializeCriticalSectionAndSpinCount)
  (LPCRITICAL_SECTION cs, DWORD spinCount) = ::InitializeCriticalSectionAndSpinCount;
  VOID(WINAPI* DeleteCriticalSection)(LPCRITICAL_SECTION cs) = ::DeleteCriticalSection;
  VOID(WINAPI* EnterCriticalSection)(LPCRITICAL_SECTION cs) = ::EnterCriticalSection;
  VOID(WINAPI* LeaveCriticalSection)(LPCRITICAL_SECTION cs) = ::LeaveCriticalSection;
  // Version resources and text conversion.
  DWORD(WINAPI* GetFileVersionInfoSizeA)(LPCSTR file, LPDWORD ignored) = ::GetFileVersionInfoSizeA;
  BOOL(WINAPI* GetFileVersionInfoA)
  (LPCSTR file, DWORD ignored, DWORD size, LPVOID data) = ::GetFileVersionInfoA;
  BOOL(WINAPI* VerQueryValueW)
  (LPCVOID block, LPCWSTR subBlock, LPVOID* value, PUINT length) = ::VerQueryValueW;
  int(WINAPI* MultiByteToWideChar)(UINT codePage, DWORD flags, LPCCH text, int length, LPWSTR wide,
                                   int wideLength) = ::MultiByteToWideChar;
  int(WINAPI* WideCharToMultiByte)(UINT codePage, DWORD flags, LPCWCH wide, int wideLength,
                                   LPSTR text, int length, LPCCH defaultChar,
                                   LPBOOL usedDefault) = ::WideCharToMultiByte;
};

extern os_win32Syscalls os_sys;

void os_win32SyscallsReset();
