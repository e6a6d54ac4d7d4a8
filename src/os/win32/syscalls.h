// The Windows backend's system calls that tests need to make fail or observe go through this one
// table, as the POSIX backend's do. Tests replace entries and restore them with
// os_win32SyscallsReset().
#pragma once

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
  __int64 (*_ftelli64)(FILE* file) = ::_ftelli64;
  int (*_fseeki64)(FILE* file, __int64 offset, int origin) = ::_fseeki64;
};

extern os_win32Syscalls os_sys;

void os_win32SyscallsReset();
