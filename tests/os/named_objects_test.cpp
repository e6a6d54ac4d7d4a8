// Named kernel objects. The core's tests (tests/sync) prove creation, existing names, opening,
// type clashes and synchronize-only access through its statuses; these tests cover the exact last
// errors behind those statuses and, with real processes, what only the OS layer sees: name
// mapping, lifetime across processes, abandonment by a dying process, creation races, the robust
// mutex closed while another thread holds it, and injected system-call failures.
#include <gtest/gtest.h>

#include <string>

#include "os/os.h"
#include "support/names.h"
#if !defined(_WIN32)
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"
#endif

namespace {

std::string testName(const std::string& tag) {
  return pmtsys_test::uniqueName("pmt-os-" + tag);
}

// The last error after a call that must fail; ~0u when it succeeded.
template <class Result>
uint32_t errorOf(Result result) {
  return result ? ~0u : os_getLastError();
}

TEST(NamedObjectsOs, LastErrorsAndNameRules) {
  const std::string m = testName("m"), e = testName("e"), s = "P" + m.substr(1);
  os_handle mutex = os_createMutex(true, m.c_str());
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  os_handle local = os_createMutex(false, ("Local\\" + m).c_str());  // the same name
  EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
  os_handle semaphore = os_createSemaphore(0, 1, s.c_str());  // "Pmt-...": names keep their case
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  EXPECT_EQ(errorOf(os_createEvent(true, true, m.c_str())), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(errorOf(os_openSemaphore(m.c_str())), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(errorOf(os_openEvent(testName("missing").c_str())), OS_ERROR_FILE_NOT_FOUND);
  // Opened handles may wait, and release a mutex they own, but change no state.
  os_handle opened[] = {os_openMutex(m.c_str()), os_openSemaphore(s.c_str()),
                        os_createEvent(true, false, e.c_str()), os_openEvent(e.c_str())};
  EXPECT_EQ(os_waitForSingleObject(opened[0], 0), OS_WAIT_OBJECT_0);
  EXPECT_TRUE(os_releaseMutex(opened[0]));
  EXPECT_EQ(errorOf(os_releaseSemaphore(opened[1], 1, nullptr)), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(errorOf(os_setEvent(opened[3])), OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(errorOf(os_resetEvent(opened[3])), OS_ERROR_ACCESS_DENIED);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 1, nullptr));
  EXPECT_EQ(errorOf(os_releaseSemaphore(semaphore, 1, nullptr)), OS_ERROR_TOO_MANY_POSTS);
#if !defined(_WIN32)
  // On Linux, named objects are waited for alone.
  EXPECT_EQ(os_waitForAnyObject(2, opened + 2, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
#endif
  for (os_handle handle : {mutex, local, semaphore, opened[0], opened[1], opened[2], opened[3]}) {
    EXPECT_TRUE(os_closeHandle(handle));
  }
}

#if !defined(_WIN32)
// fork(), the shared-memory files and injected system calls belong to the POSIX backend. The
// injected clock failure has no Windows counterpart: Windows waits take a relative time-out and
// the backend reads no clock.

// Whether the name's file is in /dev/shm.
bool nameExists(const std::string& name) {
  std::string file;
  EXPECT_TRUE(os_posix::sharedMemoryName(name.c_str(), &file)) << name;
  return std::filesystem::exists("/dev/shm" + file);
}

long openFiles() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return std::distance(begin(entries), end(entries));
}

// One-byte messages between a parent and its children.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() { close(fds[0]), close(fds[1]); }
  void post(char message = 'x') { EXPECT_EQ(write(fds[1], &message, 1), 1); }
  char take() {
    char message = 0;
    EXPECT_EQ(read(fds[0], &message, 1), 1);
    return message;
  }
};

// Runs `body` in a child process, whose exit code is its result.
template <class Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) _exit(body());
  return pid;
}

int exitCode(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(NamedObjectsOs, NamesMapLikeWindows) {
  const std::string base = testName("n");
  const std::string longName = base + std::string(260 - base.size(), 'L');
  const std::string otherLong = longName.substr(0, 259) + "M";  // differs past the file's room
  std::vector<os_handle> handles;
  for (const std::string& name :
       {base, "Global\\" + base, base + "/x", base + "%2Fx", longName, otherLong}) {
    handles.push_back(os_createEvent(true, false, name.c_str()));
    EXPECT_NE(handles.back(), nullptr) << name;
    EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS) << name;
    EXPECT_TRUE(nameExists(name)) << name;
  }
  handles.push_back(os_createEvent(true, false, longName.c_str()));
  EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
  for (const std::string& name :
       {longName + "x", base + "\\x", std::string("Local\\"), "Global\\Local\\" + base}) {
    os_setLastError(0);
    EXPECT_EQ(os_createMutex(false, name.c_str()), nullptr) << name;
    EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER) << name;
  }
  for (os_handle handle : handles) os_closeHandle(handle);
  EXPECT_FALSE(nameExists(base));
  EXPECT_FALSE(nameExists(longName));
}

// A child process shares objects with its parent, then dies (exits, or is killed):
// - an event it sets wakes the parent, and the parent's last close of a mutex it holds wakes the
//   child waiting for that mutex;
// - a semaphore's count and name live while any process holds a handle, and go with the last;
// - a mutex the child holds twice when it dies is abandoned, owned once by the next waiter;
// - an event only the dead child held leaves its file behind: the next open finds nothing (and
//   removes the file), the next create makes a new object.
TEST(NamedObjectsOs, ChildProcessSharesThenDies) {
  for (const bool killed : {false, true}) {
    const std::string e = testName("e"), m = testName("m"), s = testName("s"), a = testName("a");
    os_handle event = os_createEvent(true, false, e.c_str());
    os_handle mutex = os_createMutex(true, m.c_str());
    os_handle abandoned = os_createMutex(false, a.c_str());
    os_handle semaphore = os_createSemaphore(0, 10, s.c_str());
    os_handle second = os_openSemaphore(s.c_str());
    os_releaseSemaphore(semaphore, 2, nullptr);
    os_closeHandle(semaphore);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(os_waitForSingleObject(event, 30), OS_WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    Pipe go, done;
    const pid_t child = spawn([&] {
      os_handle handles[] = {os_openSemaphore(s.c_str()), os_openMutex(m.c_str()),
                             os_createEvent(true, false, e.c_str()), os_openMutex(a.c_str())};
      bool ok = os_waitForSingleObject(handles[3], 0) == OS_WAIT_OBJECT_0 &&
                os_waitForSingleObject(handles[3], 0) == OS_WAIT_OBJECT_0;
      os_setEvent(handles[2]);
      ok = os_waitForSingleObject(handles[1], 20000) == OS_WAIT_OBJECT_0 && ok;
      go.take();
      ok = os_waitForSingleObject(handles[0], 0) == OS_WAIT_OBJECT_0 && ok;
      ok = os_closeHandle(handles[0]) && os_closeHandle(handles[1]) && ok;
      done.post(ok ? 'y' : 'n');
      if (killed) os_sleep(OS_INFINITE);
      return 0;
    });
    EXPECT_EQ(os_waitForSingleObject(event, 20000), OS_WAIT_OBJECT_0);
    os_closeHandle(event);
    os_closeHandle(mutex);
    EXPECT_EQ(os_waitForSingleObject(second, 0), OS_WAIT_OBJECT_0);
    os_closeHandle(second);
    EXPECT_TRUE(nameExists(s));
    go.post();
    EXPECT_EQ(done.take(), 'y');
    EXPECT_FALSE(nameExists(s));
    EXPECT_FALSE(nameExists(m));
    if (killed) kill(child, SIGKILL);
    EXPECT_EQ(exitCode(child), killed ? 128 + SIGKILL : 0);
    EXPECT_EQ(os_waitForSingleObject(abandoned, 20000), OS_WAIT_ABANDONED_0);
    EXPECT_TRUE(os_releaseMutex(abandoned));
    EXPECT_FALSE(os_releaseMutex(abandoned));
    os_closeHandle(abandoned);
    EXPECT_TRUE(nameExists(e));
    if (!killed) {
      EXPECT_EQ(errorOf(os_openEvent(e.c_str())), OS_ERROR_FILE_NOT_FOUND);
      EXPECT_FALSE(nameExists(e));
    } else {
      os_handle again = os_createEvent(true, false, e.c_str());
      EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
      EXPECT_EQ(os_waitForSingleObject(again, 0), OS_WAIT_TIMEOUT);  // not the old, set state
      os_closeHandle(again);
    }
  }
}

TEST(NamedObjectsOs, CreationRaceHasOneWinner) {
  constexpr int kRacers = 4;
  for (int round = 0; round < 5; ++round) {
    const std::string name = testName("race");
    Pipe start, created, finish;
    std::vector<pid_t> children;
    for (int i = 0; i < kRacers; ++i) {
      children.push_back(spawn([&] {
        start.take();
        os_handle handle = os_createSemaphore(0, 1, name.c_str());
        const uint32_t error = os_getLastError();
        created.post();
        finish.take();  // hold the handle until every racer has created
        return !os_closeHandle(handle) ? 3 : error == OS_ERROR_SUCCESS ? 1 : 2;
      }));
    }
    for (int i = 0; i < kRacers; ++i) start.post();
    for (int i = 0; i < kRacers; ++i) created.take();
    for (int i = 0; i < kRacers; ++i) finish.post();
    int winners = 0;
    for (const pid_t child : children) {
      const int code = exitCode(child);
      EXPECT_TRUE(code == 1 || code == 2) << code;
      winners += code == 1;
    }
    EXPECT_EQ(winners, 1);
    EXPECT_FALSE(nameExists(name));
  }
}

// The last handle closes while another thread holds the mutex: the object stays (its memory is on
// the holder's robust list), is abandoned when the holder ends, and goes with the next last close.
TEST(NamedObjectsOs, MutexClosedWhileAnotherThreadHoldsIt) {
  const std::string name = testName("held");
  os_handle mutex = os_createMutex(false, name.c_str());
  std::atomic<int> stage{0};
  std::thread holder([&] {
    os_waitForSingleObject(mutex, OS_INFINITE);
    stage = 1;
    while (stage != 2) os_sleep(1);
  });
  while (stage != 1) os_sleep(1);
  EXPECT_TRUE(os_closeHandle(mutex));
  stage = 2;
  holder.join();
  os_handle opened = os_openMutex(name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(os_waitForSingleObject(opened, 0), OS_WAIT_ABANDONED_0);
  EXPECT_TRUE(os_releaseMutex(opened));
  os_closeHandle(opened);
  EXPECT_FALSE(nameExists(name));
}

// Each failing call fails a creation with nothing left behind: no file, no descriptor. Opening an
// existing object fails the same way (tried in a child process, which maps it for itself). A
// failing clock fails timed waits, named or not, but no wait that needs no clock.
TEST(NamedObjectsOs, InjectedSystemCallFailures) {
  using Inject = void (*)();
  const Inject injections[] = {
      [] { os_sys.shm_open = [](const char*, int, mode_t) { return errno = EMFILE, -1; }; },
      [] { os_sys.ftruncate = [](int, off_t) { return errno = ENOSPC, -1; }; },
      [] {
        os_sys.mmap = [](void*, size_t, int, int, int, off_t) {
          return errno = ENOMEM, MAP_FAILED;
        };
      },
  };
  for (const Inject inject : injections) {
    const std::string name = testName("fail");
    const long files = openFiles();
    inject();
    EXPECT_EQ(errorOf(os_createSemaphore(0, 1, name.c_str())), OS_ERROR_NOT_ENOUGH_MEMORY);
    os_posixSyscallsReset();
    EXPECT_FALSE(nameExists(name));
    EXPECT_EQ(openFiles(), files);
  }
  const std::string name = testName("fail-open");
  os_handle semaphore = os_createSemaphore(0, 1, name.c_str());
  const pid_t child = spawn([&] {
    const long files = openFiles();
    injections[2]();
    const uint32_t error = errorOf(os_openSemaphore(name.c_str()));
    return error == OS_ERROR_NOT_ENOUGH_MEMORY && openFiles() == files ? 0 : 1;
  });
  EXPECT_EQ(exitCode(child), 0);
  os_handle event = os_createEvent(true, false, nullptr);
  os_sys.clock_gettime = [](clockid_t, timespec*) { return errno = EINVAL, -1; };
  for (os_handle handle : {semaphore, event}) {
    EXPECT_EQ(os_waitForSingleObject(handle, 10), OS_WAIT_FAILED);
    EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(os_waitForSingleObject(handle, 0), OS_WAIT_TIMEOUT);
    os_closeHandle(handle);
  }
  os_posixSyscallsReset();
  EXPECT_FALSE(nameExists(name));
}

#endif  // !defined(_WIN32)

}  // namespace
