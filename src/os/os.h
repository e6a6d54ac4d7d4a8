// The OS layer: every operating-system facility the library uses, shaped like the Windows call
// it stands for. No policy lives here: no statuses, no leak tracking, no cleanup frames. The
// core reaches the platform only through these declarations; each backend (posix/, win32/)
// implements all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------------------------
// Errors: the last-error value of the calling thread, with Windows numbering.
inline constexpr uint32_t OS_ERROR_SUCCESS = 0;
inline constexpr uint32_t OS_ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t OS_ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t OS_ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t OS_ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t OS_ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t OS_ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t OS_ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t OS_ERROR_NOT_OWNER = 288;
inline constexpr uint32_t OS_ERROR_TOO_MANY_POSTS = 298;
inline constexpr uint32_t OS_ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr uint32_t OS_ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

uint32_t os_getLastError();
void os_setLastError(uint32_t error);

// ---------------------------------------------------------------------------------------------
// Paths and modules.
#if defined(_WIN32)
inline constexpr char OS_PATH_SEPARATOR = '\\';
#else
inline constexpr char OS_PATH_SEPARATOR = '/';
#endif
// Enough for any path either backend returns (Windows: MAX_PATH 260; Linux: PATH_MAX 4096).
inline constexpr size_t OS_MAX_PATH = 4096;

// The module (executable or shared library) that contains `address`: its load address and its
// absolute file path, zero-terminated and cut to `pathCapacity`. A path that cannot be read is
// returned empty. Returns false when no module contains the address (both outputs zero/empty).
bool os_moduleOfAddress(const void* address, uintptr_t* loadAddress, char* path,
                        size_t pathCapacity);

// The absolute file path of an already loaded module found by its base name (no directory, no
// extension, no "lib" prefix: "pmtsys10_x64d"). Returns false when no such module is loaded.
bool os_findLoadedModule(const char* baseName, char* path, size_t pathCapacity);

// ---------------------------------------------------------------------------------------------
// Version resources of a PE file (GetFileVersionInfoSize / GetFileVersionInfo / VerQueryValue).
// A missing file, a file that is not PE, or one without a version resource gives size 0.
uint32_t os_fileVersionInfoSize(const char* fileName);
bool os_fileVersionInfo(const char* fileName, uint32_t size, void* data);
// The fixed file information of version data read by os_fileVersionInfo.
struct os_fixedFileInfo {
  uint32_t fileVersionMS;
  uint32_t fileVersionLS;
  uint32_t productVersionMS;
  uint32_t productVersionLS;
};
bool os_versionQueryFixed(const void* data, os_fixedFileInfo* info);
// A string value such as "\\StringFileInfo\\040904B0\\ProductName" (keys match without regard
// to case). The value is copied into `buffer` as narrow (UTF-8) text, cut to fit.
bool os_versionQueryString(const void* data, const char* subBlock, char* buffer,
                           size_t bufferCapacity);

// ---------------------------------------------------------------------------------------------
// Assertion reports. The default sink writes message, file and line to standard error (and the
// debugger output on Windows) and returns; it never aborts.
using os_assertSink = void (*)(const char* message, const char* file, uint32_t line);
void os_assertReport(const char* message, const char* file, uint32_t line);
// Replaces the sink (null restores the default); returns the previous one.
os_assertSink os_setAssertSink(os_assertSink sink);
// OutputDebugString: text for an attached debugger, where the platform has such a channel.
void os_writeDebugOutput(const char* text);

// ---------------------------------------------------------------------------------------------
// Time.
inline constexpr uint32_t OS_INFINITE = 0xFFFFFFFFu;
// Sleep(ms): 0 gives up the rest of the time slice; OS_INFINITE never returns.
void os_sleep(uint32_t milliseconds);
void os_yield();

// ---------------------------------------------------------------------------------------------
// Critical sections: process-local recursive locks. The caller provides the storage
// (os_criticalSectionSize() bytes, aligned as malloc aligns), so the core never needs the type.
size_t os_criticalSectionSize();
// InitializeCriticalSection: false only when the system is out of resources.
bool os_criticalSectionInit(void* cs);
// InitializeCriticalSectionAndSpinCount: the spin count is kept; false with the last error set.
bool os_criticalSectionInitSpin(void* cs, uint32_t spinCount);
void os_criticalSectionDelete(void* cs);
void os_criticalSectionEnter(void* cs);
void os_criticalSectionLeave(void* cs);

// ---------------------------------------------------------------------------------------------
// Kernel objects: mutexes, semaphores and events behind counted handles. An object lives while
// any handle to it is open. Failures return null/false with the last error set.
struct os_object;
using os_handle = os_object*;

// Named creation of an existing object returns a handle to it with the last error set to
// OS_ERROR_ALREADY_EXISTS (the initial owner / counts / state of the call are then ignored);
// otherwise the last error is OS_ERROR_SUCCESS. A null or empty name creates an unnamed object.
// A name held by an object of another type fails with OS_ERROR_INVALID_HANDLE.
os_handle os_createMutex(bool initialOwner, const char* name);
os_handle os_createSemaphore(int32_t initialCount, int32_t maximumCount, const char* name);
os_handle os_createEvent(bool manualReset, bool initialState, const char* name);
// Opening by name grants synchronize access only: waits work; set, reset and semaphore release
// fail with OS_ERROR_ACCESS_DENIED (releasing an owned mutex still works). A missing name fails
// with OS_ERROR_FILE_NOT_FOUND.
os_handle os_openMutex(const char* name);
os_handle os_openSemaphore(const char* name);
os_handle os_openEvent(const char* name);
bool os_closeHandle(os_handle handle);

// Fails with OS_ERROR_NOT_OWNER when the calling thread does not own the mutex.
bool os_releaseMutex(os_handle mutex);
// Fails with OS_ERROR_TOO_MANY_POSTS, changing nothing, when the count would pass the maximum.
bool os_releaseSemaphore(os_handle semaphore, int32_t releaseCount, int32_t* previousCount);
bool os_setEvent(os_handle event);
bool os_resetEvent(os_handle event);

inline constexpr uint32_t OS_WAIT_OBJECT_0 = 0x00000000u;
inline constexpr uint32_t OS_WAIT_ABANDONED_0 = 0x00000080u;
inline constexpr uint32_t OS_WAIT_TIMEOUT = 0x00000102u;
inline constexpr uint32_t OS_WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t OS_MAXIMUM_WAIT_OBJECTS = 64;

// Time-outs in milliseconds on a monotonic clock; OS_INFINITE waits forever. A signalled mutex
// becomes owned, a semaphore is decremented, an auto-reset event is reset.
uint32_t os_waitForSingleObject(os_handle handle, uint32_t milliseconds);
// Waits for the first of `count` objects: OS_WAIT_OBJECT_0 + i or OS_WAIT_ABANDONED_0 + i for
// the lowest signalled index i; only that object is acquired.
uint32_t os_waitForAnyObject(uint32_t count, const os_handle* handles, uint32_t milliseconds);

// ---------------------------------------------------------------------------------------------
// System information, processor affinity and the OS version.
inline constexpr uint16_t OS_PROCESSOR_ARCHITECTURE_INTEL = 0;
inline constexpr uint16_t OS_PROCESSOR_ARCHITECTURE_ARM = 5;
inline constexpr uint16_t OS_PROCESSOR_ARCHITECTURE_AMD64 = 9;
inline constexpr uint16_t OS_PROCESSOR_ARCHITECTURE_ARM64 = 12;
inline constexpr uint16_t OS_PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;

// GetSystemInfo: never fails.
struct os_systemInfo {
  uint16_t processorArchitecture;
  uint32_t numberOfProcessors;
  uint64_t activeProcessorMask;
};
void os_getSystemInfo(os_systemInfo* info);

// GetProcessAffinityMask of the current process; false with the last error set.
bool os_getProcessAffinityMask(uint64_t* processMask, uint64_t* systemMask);
// SetThreadAffinityMask of the calling thread: the previous mask, 0 on failure (last error set).
uint64_t os_setCurrentThreadAffinityMask(uint64_t mask);

// IsProcessorFeaturePresent: whether the OS lets programs use an instruction set.
inline constexpr uint32_t OS_PF_MMX_INSTRUCTIONS_AVAILABLE = 3;
inline constexpr uint32_t OS_PF_XMMI_INSTRUCTIONS_AVAILABLE = 6;
inline constexpr uint32_t OS_PF_XMMI64_INSTRUCTIONS_AVAILABLE = 10;
inline constexpr uint32_t OS_PF_SSE3_INSTRUCTIONS_AVAILABLE = 13;
bool os_isProcessorFeaturePresent(uint32_t feature);

// GetVersionExA. Windows reports its platform identifier (0 Win32s, 1 Windows 9x, 2 NT); other
// systems report OS_VER_PLATFORM_POSIX with the kernel release's numbers and no service pack.
inline constexpr uint32_t OS_VER_PLATFORM_WIN32S = 0;
inline constexpr uint32_t OS_VER_PLATFORM_WIN32_WINDOWS = 1;
inline constexpr uint32_t OS_VER_PLATFORM_WIN32_NT = 2;
inline constexpr uint32_t OS_VER_PLATFORM_POSIX = 0x100;
struct os_versionInfo {
  uint32_t majorVersion;
  uint32_t minorVersion;
  uint32_t buildNumber;
  uint32_t platformId;
  char servicePack[128];  // zero-terminated, empty when none
};
// False with the last error set when the OS refuses the query.
bool os_getVersion(os_versionInfo* info);
// Leak checks: the kernel-object handles this process holds open through this layer.
size_t os_openHandleCount();

// ---------------------------------------------------------------------------------------------
// Clocks (QueryPerformanceCounter / QueryPerformanceFrequency). On Linux the counter is
// CLOCK_MONOTONIC in nanoseconds, so its frequency is 10^9, below 2^32 as callers require.
int64_t os_queryPerformanceCounter();
// False with the last error set when the system has no such counter.
bool os_queryPerformanceFrequency(int64_t* frequency);
// The processor's nominal clock rate in MHz as the system records it: on Windows the registry
// value "~MHz" of processor 0. False when the system keeps no figure worth trusting, which is
// always the case on Linux (its "cpu MHz" is the current, frequency-scaled rate).
bool os_processorNominalMHz(uint32_t* mhz);

// ---------------------------------------------------------------------------------------------
// Buffered files of the C runtime (fopen, fclose, ftell, fseek). Failures answer as the runtime
// does: null, EOF or -1, with errno set.
FILE* os_fileOpen(const char* path, const char* mode);
// Wide names: UTF-16 on Windows, passed on unchanged; UTF-32 on Linux, converted to UTF-8. An
// unpaired surrogate or a value beyond U+10FFFF fails with EILSEQ, a name longer than any path
// with ENAMETOOLONG.
FILE* os_fileOpenWide(const wchar_t* path, const wchar_t* mode);
int os_fileClose(FILE* file);
int64_t os_fileTell(FILE* file);
// `origin` is SEEK_SET, SEEK_CUR or SEEK_END.
int os_fileSeek(FILE* file, int64_t offset, int origin);
// Threads. A thread handle is a kernel-object handle that becomes signalled, for good, when its
// thread ends; it can be waited for with the other objects (os_waitForAnyObject) and is closed
// with os_closeHandle.
using os_threadStart = uint32_t (*)(void* argument);
// _beginthreadex: starts `start(argument)` at once. Stack size 0 is the system default; others
// are honoured at least (Linux: rounded up to whole MiB, at least 1 MiB). Stores the new thread's
// id. Null with the last error set on failure.
os_handle os_beginThread(uint32_t stackSize, os_threadStart start, void* argument,
                         uint32_t* threadId);
// DuplicateHandle(GetCurrentThread()) with full access: a handle on the calling thread, signalled
// when it ends even when nobody tells the layer.
os_handle os_duplicateCurrentThread();
uint32_t os_getCurrentThreadId();

// Windows thread priorities: -15, -2, -1, 0, 1, 2, 15; others fail with
// OS_ERROR_INVALID_PARAMETER. Read back exactly as set (Linux keeps the value with the thread
// and applies a scheduling change only where no privilege is needed).
inline constexpr int32_t OS_THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;
int32_t os_getThreadPriority(os_handle thread);
bool os_setThreadPriority(os_handle thread, int32_t priority);
// The same for the calling thread, without a handle.
int32_t os_getCurrentThreadPriority();
bool os_setCurrentThreadPriority(int32_t priority);
// SetThreadAffinityMask: processors 0-63; a mask with a processor outside the process's mask is
// refused (OS_ERROR_INVALID_PARAMETER). Returns the previous mask, 0 on failure.
uint64_t os_setThreadAffinityMask(os_handle thread, uint64_t mask);

// ---------------------------------------------------------------------------------------------
// Thread-local slots (TlsAlloc ...), numbered as on Windows. Freeing a slot that threads still
// hold values in is harmless: the values are simply forgotten.
inline constexpr uint32_t OS_TLS_OUT_OF_INDEXES = 0xFFFFFFFFu;
uint32_t os_tlsAlloc();
bool os_tlsFree(uint32_t index);
// Null with the last error OS_ERROR_SUCCESS for an unset value, or another last error for a bad
// index. A non-null value leaves the last error alone (callers look at it only after a null).
void* os_tlsGetValue(uint32_t index);
bool os_tlsSetValue(uint32_t index, void* value);

// A thread_local of the library's own image read with one load: the initial-exec model of ELF
// images (the image is loaded with the program or has room in the static TLS block). Windows
// images have one model only.
#if defined(__ELF__)
#define OS_TLS_INITIAL_EXEC __attribute__((tls_model("initial-exec")))
#else
#define OS_TLS_INITIAL_EXEC
#endif

// ---------------------------------------------------------------------------------------------
// The most memory the process has had resident so far (PeakWorkingSetSize of
// GetProcessMemoryInfo), in bytes; false with the last error set when the system will not say.
bool os_peakWorkingSetBytes(uint64_t* bytes);
