// Every call of the Windows backend that can fail (and the lock calls, which tests count) goes
// through this one table, as the POSIX backend's calls do. Tests replace entries and restore them
// with os_win32SyscallsReset().
#pragma once

#include <process.h>
#include <windows.h>

#include <cstdio>

// Every entry carries its default here; a new entry is one line with its default.
struct os_win32Syscalls {
  VOID(WINAPI* Sleep)(DWORD milliseconds) = ::Sleep;
  BOOL(WINAPI* SwitchToThread)() = ::SwitchToThread;
  SIZE_T(WINAPI* VirtualQuery)
  (LPCVOID address, PMEMORY_BASIC_INFORMATION region, SIZE_T size) = ::VirtualQuery;
  HMODULE(WINAPI* GetModuleHandleA)(LPCSTR name) = ::GetModuleHandleA;
  DWORD(WINAPI* GetModuleFileNameA)(HMODULE module, LPSTR path, DWORD size) = ::GetModuleFileNameA;
  // System information, processor affinity and the version.
  VOID(WINAPI* GetSystemInfo)(LPSYSTEM_INFO info) = ::GetSystemInfo;
  BOOL(WINAPI* GetProcessAffinityMask)
  (HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask) = ::GetProcessAffinityMask;
  DWORD_PTR(WINAPI* SetThreadAffinityMask)(HANDLE thread, DWORD_PTR mask) = ::SetThreadAffinityMask;
  BOOL(WINAPI* IsProcessorFeaturePresent)(DWORD feature) = ::IsProcessorFeaturePresent;
  BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA info) = ::GetVersionExA;
  BOOL(WINAPI* DisableThreadLibraryCalls)(HMODULE module) = ::DisableThreadLibraryCalls;
  // Threads, their priorities and thread-local slots.
  uintptr_t (*beginthreadex)(void* security, unsigned stackSize, unsigned(__stdcall* start)(void*),
                             void* argument, unsigned flags, unsigned* threadId) = ::_beginthreadex;
  BOOL(WINAPI* SetThreadPriority)(HANDLE thread, int priority) = ::SetThreadPriority;
  DWORD(WINAPI* TlsAlloc)() = ::TlsAlloc;
  BOOL(WINAPI* TlsSetValue)(DWORD index, LPVOID value) = ::TlsSetValue;
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
  // Clocks and the processor's nominal rate.
  BOOL(WINAPI* QueryPerformanceCounter)(LARGE_INTEGER* count) = ::QueryPerformanceCounter;
  BOOL(WINAPI* QueryPerformanceFrequency)(LARGE_INTEGER* frequency) = ::QueryPerformanceFrequency;
  LSTATUS(WINAPI* RegOpenKeyExA)
  (HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result) = ::RegOpenKeyExA;
  LSTATUS(WINAPI* RegQueryValueExA)
  (HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
   LPDWORD size) = ::RegQueryValueExA;
  LSTATUS(WINAPI* RegCloseKey)(HKEY key) = ::RegCloseKey;
  // Buffered files of the C runtime.
  FILE* (*fopen)(const char* path, const char* mode) = ::fopen;
  FILE* (*_wfopen)(const wchar_t* path, const wchar_t* mode) = ::_wfopen;
  int (*fclose)(FILE* file) = ::fclose;
  __int64 (*ftell64)(FILE* file) = ::_ftelli64;
  int (*fseek64)(FILE* file, __int64 offset, int origin) = ::_fseeki64;
};

extern os_win32Syscalls os_sys;

void os_win32SyscallsReset();
