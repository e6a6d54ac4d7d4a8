#include "support/os_faults.h"

#if defined(_WIN32)
#include "os/win32/syscalls.h"
#else
#include "os/posix/syscalls.h"
#endif

#include <atomic>
#include <cerrno>
#include <iterator>
#include <string_view>
#include <type_traits>

namespace pmtsys_test {
namespace {

OsSleeps g_sleeps;
std::atomic<int> g_countdown{0};
std::atomic<bool> g_persistent{false};
std::atomic<int> g_injected{0};
std::atomic<long> g_heldLocks{0};

// Whether the armed call fails now.
bool injectNow() {
  const int left = g_countdown.load();
  if (left == 0) return false;
  if (left > 1) {
    g_countdown.fetch_sub(1);
    return false;
  }
  if (!g_persistent) g_countdown = 0;
  ++g_injected;
  return true;
}

// How a call reports failure: its return value is the error, or it sets the error (errno, the
// last error) and returns -1, zero/null or its own marker.
enum class Fails { withResult, zero, marker };

void setError([[maybe_unused]] int error) {
#if defined(_WIN32)
  SetLastError(static_cast<DWORD>(error));
#else
  errno = error;
#endif
}

// An entry of the table `Table` that fails as `How` says, with `Error`, when injectNow() says so;
// otherwise it passes the call on to the entry it replaced.
template <class Table, Table& Calls, auto Entry, Fails How, int Error, long long Marker>
struct Fault;
template <class Table, Table& Calls, class R, class... A, R (*Table::*Entry)(A...), Fails How,
          int Error, long long Marker>
struct Fault<Table, Calls, Entry, How, Error, Marker> {
  static inline R (*next)(A...) = nullptr;
  static R call(A... args) {
    if (!injectNow()) return next(args...);
    if constexpr (How == Fails::withResult) {
      return static_cast<R>(Error);
    } else {
      setError(Error);
      if constexpr (How == Fails::zero) return R{};
      if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(Marker);
      if constexpr (!std::is_pointer_v<R>) return static_cast<R>(Marker);
    }
  }
  static void install() {
    next = Calls.*Entry;
    Calls.*Entry = call;
  }
};

// A lock entry that counts what it takes (`Change` 1) or gives back (-1).
template <class Table, Table& Calls, auto Entry, long Change>
struct LockCount;
template <class Table, Table& Calls, class R, class... A, R (*Table::*Entry)(A...), long Change>
struct LockCount<Table, Calls, Entry, Change> {
  static inline R (*next)(A...) = nullptr;
  static R call(A... args) {
    if constexpr (std::is_void_v<R>) {
      next(args...);
      g_heldLocks += Change;
    } else {
      const R result = next(args...);
      if (result == 0 || result == EOWNERDEAD) g_heldLocks += Change;
      return result;
    }
  }
  static void install() {
    next = Calls.*Entry;
    Calls.*Entry = call;
  }
};

struct Failable {
  const char* name;
  void (*install)();
};

#if defined(_WIN32)
using T = os_win32Syscalls;
#else
using T = os_posixSyscalls;
#endif
// An entry of the list of failable calls: the call, how it fails, the error and any marker.
#define PMT_FAILABLE(entry, how, error, ...) \
  { #entry, Fault < T, os_sys, &T::entry, Fails::how, error, __VA_ARGS__ + 0> ::install }

}  // namespace

#if defined(_WIN32)

namespace {

// Sleep(0) is how the backend gives up the time slice.
VOID WINAPI recordSleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    ++g_sleeps.yields;
  } else {
    g_sleeps.milliseconds.push_back(milliseconds);
  }
}

BOOL WINAPI recordYield() {
  ++g_sleeps.yields;
  return TRUE;
}

void installSleepRecorder() {
  os_sys.Sleep = recordSleep;
  os_sys.SwitchToThread = recordYield;
}

}  // namespace

namespace {

constexpr std::string_view kModulePathLookup = "GetModuleFileNameA";
constexpr std::string_view kModuleLookup = "VirtualQuery";
const Failable kFailable[] = {
    PMT_FAILABLE(CreateMutexA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(CreateSemaphoreA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(CreateEventA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(OpenMutexA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(OpenSemaphoreA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(OpenEventA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(ReleaseSemaphore, zero, ERROR_INVALID_HANDLE),
    PMT_FAILABLE(SetEvent, zero, ERROR_INVALID_HANDLE),
    PMT_FAILABLE(ResetEvent, zero, ERROR_INVALID_HANDLE),
    PMT_FAILABLE(WaitForSingleObject, marker, ERROR_INVALID_HANDLE, WAIT_FAILED),
    PMT_FAILABLE(InitializeCriticalSectionAndSpinCount, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(GetFileVersionInfoSizeA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(GetFileVersionInfoA, zero, ERROR_NOT_ENOUGH_MEMORY),
    PMT_FAILABLE(VerQueryValueW, zero, ERROR_RESOURCE_TYPE_NOT_FOUND),
    PMT_FAILABLE(MultiByteToWideChar, zero, ERROR_INSUFFICIENT_BUFFER),
    PMT_FAILABLE(WideCharToMultiByte, zero, ERROR_INSUFFICIENT_BUFFER),
    PMT_FAILABLE(VirtualQuery, zero, ERROR_INVALID_PARAMETER),
    PMT_FAILABLE(GetModuleHandleA, zero, ERROR_MOD_NOT_FOUND),
    PMT_FAILABLE(GetModuleFileNameA, zero, ERROR_NOT_ENOUGH_MEMORY),
};

void countLocks() {
  LockCount<T, os_sys, &T::EnterCriticalSection, 1>::install();
  LockCount<T, os_sys, &T::LeaveCriticalSection, -1>::install();
}

}  // namespace

#else

namespace {

// The backend sleeps to an absolute deadline on the monotonic clock, or for a relative time.
int recordSleep(clockid_t, int flags, const timespec* request, timespec*) {
  timespec now{};
  if (flags != 0) clock_gettime(CLOCK_MONOTONIC, &now);
  const long long ns =
      (request->tv_sec - now.tv_sec) * 1000000000LL + (request->tv_nsec - now.tv_nsec);
  g_sleeps.milliseconds.push_back((ns + 500000) / 1000000);
  return 0;
}

int recordYield() {
  ++g_sleeps.yields;
  return 0;
}

void installSleepRecorder() {
  os_sys.clock_nanosleep = recordSleep;
  os_sys.sched_yield = recordYield;
}

}  // namespace

namespace {

// The main program's path comes from resolving /proc/self/exe.
constexpr std::string_view kModulePathLookup = "realpath";
constexpr std::string_view kModuleLookup = "dladdr";
// Calls that fail only when misused (unlock, signal, destroy, close, munmap) are not failed.
// pthread_atfork comes first: it is called until it succeeds once in the process.
const Failable kFailable[] = {
    PMT_FAILABLE(pthread_atfork, withResult, ENOMEM),
    PMT_FAILABLE(shm_open, marker, EMFILE, -1),
    PMT_FAILABLE(ftruncate, marker, ENOSPC, -1),
    PMT_FAILABLE(mmap, marker, ENOMEM, -1),
    PMT_FAILABLE(fstat, marker, EIO, -1),
    PMT_FAILABLE(fcntlLock, marker, ENOLCK, -1),
    PMT_FAILABLE(open, marker, EMFILE, -1),
    PMT_FAILABLE(pread, marker, EIO, -1),
    PMT_FAILABLE(realpath, zero, ENOMEM),
    PMT_FAILABLE(dladdr, zero, 0),
    PMT_FAILABLE(clock_gettime, marker, EINVAL, -1),
    PMT_FAILABLE(pthread_mutexattr_init, withResult, ENOMEM),
    PMT_FAILABLE(pthread_mutex_init, withResult, EAGAIN),
    PMT_FAILABLE(pthread_mutex_trylock, withResult, EAGAIN),
    PMT_FAILABLE(pthread_mutex_clocklock, withResult, EAGAIN),
    PMT_FAILABLE(pthread_condattr_init, withResult, ENOMEM),
    PMT_FAILABLE(pthread_cond_init, withResult, EAGAIN),
    PMT_FAILABLE(pthread_create, withResult, EAGAIN),
    PMT_FAILABLE(pthread_key_create, withResult, EAGAIN),
    PMT_FAILABLE(pthread_setspecific, withResult, ENOMEM),
    PMT_FAILABLE(sched_getaffinity, marker, EINVAL, -1),
    PMT_FAILABLE(sched_setaffinity, marker, EINVAL, -1),
    PMT_FAILABLE(setpriority, marker, EACCES, -1),
    PMT_FAILABLE(fopen, zero, EMFILE),
};

void countLocks() {
  LockCount<T, os_sys, &T::pthread_mutex_lock, 1>::install();
  LockCount<T, os_sys, &T::pthread_mutex_trylock, 1>::install();
  LockCount<T, os_sys, &T::pthread_mutex_clocklock, 1>::install();
  LockCount<T, os_sys, &T::pthread_mutex_unlock, -1>::install();
}

}  // namespace

#endif

#undef PMT_FAILABLE

void restoreOsCalls() {
#if defined(_WIN32)
  os_win32SyscallsReset();
#else
  os_posixSyscallsReset();
#endif
}

size_t failableOsCallCount() {
  return std::size(kFailable);
}

const char* failableOsCallName(size_t call) {
  return kFailable[call].name;
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

namespace {

void failFromNowOn(std::string_view name) {
  for (size_t call = 0; call < std::size(kFailable); ++call) {
    if (kFailable[call].name == name) failOsCall(call, 1, true);
  }
}

}  // namespace

void failModulePathLookup() {
  failFromNowOn(kModulePathLookup);
}

void failModuleLookup() {
  failFromNowOn(kModuleLookup);
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
