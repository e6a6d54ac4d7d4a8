#include "support/os_faults.h"

#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

#include <atomic>
#include <cerrno>
#include <iterator>

namespace pmtsys_test {
namespace {

#if defined(_WIN32)
using Table = os_win32Syscalls;
constexpr auto resetTable = os_win32SyscallsReset;
const auto setError = [](int error) { SetLastError(static_cast<DWORD>(error)); };
#else
using Table = os_posixSyscalls;
constexpr auto resetTable = os_posixSyscallsReset;
const auto setError = [](int error) { errno = error; };
#endif
const Table kSystem{};  // the system's own calls, for the counting hooks

OsSleeps g_sleeps;
std::atomic<int> g_countdown{0}, g_injected{0};
std::atomic<bool> g_persistent{false};
std::atomic<long> g_heldLocks{0};

bool injectNow() {
  const int left = g_countdown.load();
  if (left > 1) g_countdown.fetch_sub(1);
  if (left != 1) return false;
  if (!g_persistent) g_countdown = 0;
  ++g_injected;
  return true;
}

template <auto Entry>
struct Hook;
template <class R, class... A, R (*Table::*Entry)(A...)>
struct Hook<Entry> {
  static inline R (*next)(A...) = nullptr;
  // When injectNow() says so, sets `Error` (errno, the last error) and returns `Result`.
  template <int Error, long long Result>
  static R fail(A... args) {
    if (!injectNow()) return next(args...);
    setError(Error);
    return R(Result);  // a pointer too
  }
  template <int Error, long long Result>
  static void install() {
    next = os_sys.*Entry;
    os_sys.*Entry = fail<Error, Result>;
  }
  // Counts the locks the system's call takes (`Change` 1) or gives back (-1).
  template <long Change>
  static R count(A... args) {
    const R result = (kSystem.*Entry)(args...);
    if (result == 0 || result == EOWNERDEAD) g_heldLocks += Change;
    return result;
  }
};

#define PMT_FAILABLE(entry, error, result) \
  { #entry, Hook < &Table::entry> ::install < error, result> }
struct Failable {
  std::string_view name;
  void (*install)();
};

#if defined(_WIN32)
// Sleep(0) is how the backend gives up the time slice.
void installSleepRecorder() {
  os_sys.Sleep = [](DWORD milliseconds) {
    if (milliseconds == 0) ++g_sleeps.yields;
    if (milliseconds != 0) g_sleeps.milliseconds.push_back(milliseconds);
  };
  os_sys.SwitchToThread = []() -> BOOL { return ++g_sleeps.yields, TRUE; };
}

constexpr std::string_view kModulePathLookup = "GetModuleFileNameA", kModuleLookup = "VirtualQuery";
constexpr int kNoMemory = ERROR_NOT_ENOUGH_MEMORY, kBadHandle = ERROR_INVALID_HANDLE;
const Failable kFailable[] = {
    PMT_FAILABLE(CreateMutexA, kNoMemory, 0),
    PMT_FAILABLE(CreateSemaphoreA, kNoMemory, 0),
    PMT_FAILABLE(CreateEventA, kNoMemory, 0),
    PMT_FAILABLE(OpenMutexA, kNoMemory, 0),
    PMT_FAILABLE(OpenSemaphoreA, kNoMemory, 0),
    PMT_FAILABLE(OpenEventA, kNoMemory, 0),
    PMT_FAILABLE(ReleaseSemaphore, kBadHandle, 0),
    PMT_FAILABLE(SetEvent, kBadHandle, 0),
    PMT_FAILABLE(ResetEvent, kBadHandle, 0),
    PMT_FAILABLE(WaitForSingleObject, kBadHandle, WAIT_FAILED),
    PMT_FAILABLE(InitializeCriticalSectionAndSpinCount, kNoMemory, 0),
    PMT_FAILABLE(GetFileVersionInfoSizeA, kNoMemory, 0),
    PMT_FAILABLE(GetFileVersionInfoA, kNoMemory, 0),
    PMT_FAILABLE(VerQueryValueW, ERROR_RESOURCE_TYPE_NOT_FOUND, 0),
    PMT_FAILABLE(MultiByteToWideChar, ERROR_INSUFFICIENT_BUFFER, 0),
    PMT_FAILABLE(WideCharToMultiByte, ERROR_INSUFFICIENT_BUFFER, 0),
    PMT_FAILABLE(VirtualQuery, ERROR_INVALID_PARAMETER, 0),
    PMT_FAILABLE(GetModuleHandleA, ERROR_MOD_NOT_FOUND, 0),
    PMT_FAILABLE(GetModuleFileNameA, kNoMemory, 0),
    PMT_FAILABLE(GetVersionExA, ERROR_INVALID_PARAMETER, 0),
    PMT_FAILABLE(SetThreadAffinityMask, ERROR_INVALID_PARAMETER, 0),
    PMT_FAILABLE(beginthreadex, kNoMemory, 0),
    PMT_FAILABLE(SetThreadPriority, ERROR_ACCESS_DENIED, 0),
    PMT_FAILABLE(TlsAlloc, ERROR_NO_MORE_ITEMS, TLS_OUT_OF_INDEXES),
    PMT_FAILABLE(TlsSetValue, kNoMemory, 0),
};

void countLocks() {
  os_sys.EnterCriticalSection = [](LPCRITICAL_SECTION lock) {
    kSystem.EnterCriticalSection(lock);
    ++g_heldLocks;
  };
  os_sys.LeaveCriticalSection = [](LPCRITICAL_SECTION lock) {
    kSystem.LeaveCriticalSection(lock);
    --g_heldLocks;
  };
}
#else
// The backend sleeps to an absolute deadline on the monotonic clock, or for a relative time.
void installSleepRecorder() {
  os_sys.clock_nanosleep = [](clockid_t, int flags, const timespec* request, timespec*) {
    timespec now{};
    if (flags != 0) clock_gettime(CLOCK_MONOTONIC, &now);
    const long long ns =
        (request->tv_sec - now.tv_sec) * 1000000000LL + (request->tv_nsec - now.tv_nsec);
    g_sleeps.milliseconds.push_back((ns + 500000) / 1000000);
    return 0;
  };
  os_sys.sched_yield = [] { return ++g_sleeps.yields, 0; };
}

// The main program's path comes from resolving /proc/self/exe.
constexpr std::string_view kModulePathLookup = "realpath", kModuleLookup = "dladdr";
// Calls that fail only when misused (unlock, signal, destroy, close, munmap) are not failed.
// pthread_atfork comes first: it is called until it succeeds once in the process.
const Failable kFailable[] = {
    PMT_FAILABLE(pthread_atfork, ENOMEM, ENOMEM),
    PMT_FAILABLE(shm_open, EMFILE, -1),
    PMT_FAILABLE(ftruncate, ENOSPC, -1),
    PMT_FAILABLE(mmap, ENOMEM, -1),
    PMT_FAILABLE(fstat, EIO, -1),
    PMT_FAILABLE(fcntlLock, ENOLCK, -1),
    PMT_FAILABLE(open, EMFILE, -1),
    PMT_FAILABLE(pread, EIO, -1),
    PMT_FAILABLE(realpath, ENOMEM, 0),
    PMT_FAILABLE(dladdr, 0, 0),
    PMT_FAILABLE(clock_gettime, EINVAL, -1),
    PMT_FAILABLE(pthread_mutexattr_init, ENOMEM, ENOMEM),
    PMT_FAILABLE(pthread_mutex_init, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_mutex_trylock, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_mutex_clocklock, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_condattr_init, ENOMEM, ENOMEM),
    PMT_FAILABLE(pthread_cond_init, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_create, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_key_create, EAGAIN, EAGAIN),
    PMT_FAILABLE(pthread_setspecific, ENOMEM, ENOMEM),
    PMT_FAILABLE(sched_getaffinity, EINVAL, -1),
    PMT_FAILABLE(sched_setaffinity, EINVAL, -1),
    PMT_FAILABLE(uname, EFAULT, -1),
    PMT_FAILABLE(setpriority, EACCES, -1),
    PMT_FAILABLE(fopen, EMFILE, 0),
};

void countLocks() {
  os_sys.pthread_mutex_lock = Hook<&Table::pthread_mutex_lock>::count<1>;
  os_sys.pthread_mutex_trylock = Hook<&Table::pthread_mutex_trylock>::count<1>;
  os_sys.pthread_mutex_clocklock = Hook<&Table::pthread_mutex_clocklock>::count<1>;
  os_sys.pthread_mutex_unlock = Hook<&Table::pthread_mutex_unlock>::count<-1>;
}
#endif
#undef PMT_FAILABLE

}  // namespace

void restoreOsCalls() {
  resetTable();
}

size_t failableOsCallCount() {
  return std::size(kFailable);
}

const char* failableOsCallName(size_t call) {
  return kFailable[call].name.data();
}

void countOsLocks() {
  restoreOsCalls();
  g_heldLocks = 0;
  g_injected = 0;
  g_countdown = 0;
  countLocks();
}

void failOsCall(size_t call, int nth, bool persistent) {
  countOsLocks();
  g_persistent = persistent;
  g_countdown = nth;
  kFailable[call].install();
}

void failOsCall(std::string_view name, int nth, bool persistent) {
  for (size_t call = 0; call < std::size(kFailable); ++call) {
    if (kFailable[call].name == name) failOsCall(call, nth, persistent);
  }
}

void failModulePathLookup() {
  failOsCall(kModulePathLookup, 1, true);
}

void failModuleLookup() {
  failOsCall(kModuleLookup, 1, true);
}

int injectedOsFailures() {
  return g_injected;
}

long heldOsLocks() {
  return g_heldLocks;
}

const OsSleeps& recordOsSleeps() {
  g_sleeps = {};
  installSleepRecorder();
  return g_sleeps;
}

}  // namespace pmtsys_test
