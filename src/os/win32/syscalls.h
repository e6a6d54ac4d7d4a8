// The Windows backend's system calls that tests need to make fail or observe go through this one
// table, as the POSIX backend's do. Tests replace entries and restore them with
// os_win32SyscallsReset().
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
  // System information, processor affinity and the version.
  VOID(WINAPI* GetSystemInfo)(LPSYSTEM_INFO info) = ::GetSystemInfo;
  BOOL(WINAPI* GetProcessAffinityMask)
  (HANDLE process, PDWORD_PTR processMask, PDWORD_PTR systemMask) = ::GetProcessAffinityMask;
  DWORD_PTR(WINAPI* SetThreadAffinityMask)(HANDLE thread, DWORD_PTR mask) = ::SetThreadAffinityMask;
  BOOL(WINAPI* IsProcessorFeaturePresent)(DWORD feature) = ::IsProcessorFeaturePresent;
  BOOL(WINAPI* GetVersionExA)(LPOSVERSIONINFOA info) = ::GetVersionExA;
};

extern os_win32Syscalls os_sys;

void os_win32SyscallsReset();
