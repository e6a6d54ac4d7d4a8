// Named kernel objects across threads and real processes: the namespace rules, access of opened
// handles, lifetime, abandonment, creation races and injected system-call failures. The tests
// that need fork() or look at the Linux mapping run on Linux only.
#include <gtest/gtest.h>

#include <string>
#include <thread>

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
#include <vector>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"
#endif

namespace {

std::string testName(const std::string& tag) {
  return pmtsys_test::uniqueName("pmt-os-" + tag);
}

TEST(NamedObjectsOs, CreateOpenAndAccessRights) {
  const std::string m = testName("m"), s = testName("s"), e = testName("e");
  os_handle mutex = os_createMutex(true, m.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  os_handle local = os_createMutex(false, ("Local\\" + m).c_str());  // the same name
  EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
  os_handle otherCase = os_createSemaphore(0, 1, ("P" + m.substr(1)).c_str());  // "pmt-..."
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  std::thread([&] {
    os_handle again = os_createMutex(true, m.c_str());  // the initial owner is ignored
    EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(os_waitForSingleObject(again, 0), OS_WAIT_TIMEOUT);
    os_closeHandle(again);
  }).join();
  os_handle opened = os_openMutex(m.c_str());
  EXPECT_EQ(os_waitForSingleObject(opened, 0), OS_WAIT_OBJECT_0);
  EXPECT_TRUE(os_releaseMutex(opened));  // synchronize access still releases an owned mutex
  EXPECT_TRUE(os_releaseMutex(mutex));
  EXPECT_EQ(os_createEvent(true, true, m.c_str()), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_HANDLE);
  EXPECT_EQ(os_openSemaphore(m.c_str()), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_HANDLE);

  os_handle semaphore = os_createSemaphore(1, 5, s.c_str());
  os_handle semaphore2 = os_createSemaphore(3, 10, s.c_str());  // counts ignored
  EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
  EXPECT_EQ(os_waitForSingleObject(semaphore2, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForSingleObject(semaphore2, 0), OS_WAIT_TIMEOUT);
  os_handle openedSemaphore = os_openSemaphore(s.c_str());
  EXPECT_FALSE(os_releaseSemaphore(openedSemaphore, 1, nullptr));
  EXPECT_EQ(os_getLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 1, nullptr));
  EXPECT_FALSE(os_releaseSemaphore(semaphore, 5, nullptr));
  EXPECT_EQ(os_getLastError(), OS_ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(os_waitForSingleObject(openedSemaphore, 0), OS_WAIT_OBJECT_0);

  os_handle event = os_createEvent(true, false, e.c_str());
  os_handle openedEvent = os_openEvent(e.c_str());
  EXPECT_FALSE(os_setEvent(openedEvent));
  EXPECT_EQ(os_getLastError(), OS_ERROR_ACCESS_DENIED);
  EXPECT_FALSE(os_resetEvent(openedEvent));
  EXPECT_TRUE(os_setEvent(event));
  EXPECT_EQ(os_waitForSingleObject(openedEvent, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForSingleObject(openedEvent, 0), OS_WAIT_OBJECT_0);
  os_handle pair[] = {event, semaphore};
#if !defined(_WIN32)
  // On Linux, named objects are waited for alone.
  EXPECT_EQ(os_waitForAnyObject(2, pair, 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
#endif
  EXPECT_EQ(os_waitForAnyObject(1, pair, 0), OS_WAIT_OBJECT_0);

  EXPECT_EQ(os_openEvent(testName("missing").c_str()), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_FILE_NOT_FOUND);
  for (os_handle handle : {mutex, local, otherCase, opened, semaphore, semaphore2, openedSemaphore,
                           event, openedEvent}) {
    EXPECT_TRUE(os_closeHandle(handle));
  }
  // Gone with the last handle.
  os_handle again = os_createEvent(true, false, e.c_str());
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
  os_closeHandle(again);
}

#if !defined(_WIN32)

std::string fileOf(const std::string& name) {
  std::string file;
  EXPECT_TRUE(os_posix::sharedMemoryName(name.c_str(), &file));
  return file;
}

bool nameExists(const std::string& name) {
  return std::filesystem::exists("/dev/shm" + fileOf(name));
}

long openFiles() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return std::distance(begin(entries), end(entries));
}

// A one-byte-per-message pipe between a parent and its children.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void post(int count = 1) {
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(write(fds[1], "x", 1), 1);
    }
  }
  void take() {
    char byte = 0;
    EXPECT_EQ(read(fds[0], &byte, 1), 1);
  }
};

// Runs `body` in a child process, whose exit code is its result.
template <class Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    _exit(body());
  }
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
  std::string otherLong = longName;
  otherLong.back() = 'M';
  std::vector<os_handle> handles;
  for (const std::string& name :
       {base, "Global\\" + base, base + "/x", base + "%2Fx", longName, otherLong}) {
    handles.push_back(os_createEvent(true, false, name.c_str()));
    EXPECT_NE(handles.back(), nullptr) << name;
    EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS) << name;
    EXPECT_TRUE(nameExists(name)) << name;
  }
  EXPECT_LE(fileOf(longName).size(), 256u);
  handles.push_back(os_createEvent(true, false, longName.c_str()));
  EXPECT_EQ(os_getLastError(), OS_ERROR_ALREADY_EXISTS);
  for (const std::string& name :
       {longName + "x", base + "\\x", std::string("Local\\"), "Global\\Local\\" + base}) {
    os_setLastError(0);
    EXPECT_EQ(os_createMutex(false, name.c_str()), nullptr) << name;
    EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER) << name;
  }
  for (os_handle handle : handles) {
    os_closeHandle(handle);
  }
  EXPECT_FALSE(nameExists(base));
  EXPECT_FALSE(nameExists(longName));
}

// The name lives while any process holds a handle, and one closed handle never ends an object
// that another handle uses.
TEST(NamedObjectsOs, LifetimeFollowsTheLastHandleInAnyProcess) {
  const std::string name = testName("life");
  Pipe ready, go;
  os_handle semaphore = os_createSemaphore(0, 10, name.c_str());
  os_handle second = os_openSemaphore(name.c_str());
  os_releaseSemaphore(semaphore, 2, nullptr);
  os_closeHandle(semaphore);
  const pid_t child = spawn([&] {
    os_handle opened = os_openSemaphore(name.c_str());
    ready.post();
    go.take();
    return os_waitForSingleObject(opened, 0) == OS_WAIT_OBJECT_0 && os_closeHandle(opened) ? 0 : 1;
  });
  ready.take();
  EXPECT_EQ(os_waitForSingleObject(second, 0), OS_WAIT_OBJECT_0);
  os_closeHandle(second);
  EXPECT_TRUE(nameExists(name));
  go.post();
  EXPECT_EQ(exitCode(child), 0);
  EXPECT_FALSE(nameExists(name));
  EXPECT_EQ(os_openSemaphore(name.c_str()), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_FILE_NOT_FOUND);
}

// A killed holder leaves its file behind; the next open finds nothing and the next create a new
// object.
TEST(NamedObjectsOs, KilledHolderLeavesTheNameUsable) {
  const std::string name = testName("killed");
  for (const bool reopen : {true, false}) {
    Pipe ready;
    const pid_t child = spawn([&] {
      os_createEvent(true, true, name.c_str());
      ready.post();
      os_sleep(OS_INFINITE);
      return 0;
    });
    ready.take();
    kill(child, SIGKILL);
    EXPECT_EQ(exitCode(child), 128 + SIGKILL);
    EXPECT_TRUE(nameExists(name));
    if (reopen) {
      EXPECT_EQ(os_openEvent(name.c_str()), nullptr);
      EXPECT_EQ(os_getLastError(), OS_ERROR_FILE_NOT_FOUND);
      EXPECT_FALSE(nameExists(name));
    } else {
      os_handle event = os_createEvent(false, false, name.c_str());
      EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);
      EXPECT_EQ(os_waitForSingleObject(event, 0), OS_WAIT_TIMEOUT);  // a new state
      os_closeHandle(event);
    }
  }
}

TEST(NamedMutexOs, AbandonedByAProcessThatExitsOrIsKilled) {
  for (const bool killed : {false, true}) {
    const std::string name = testName("abandoned");
    os_handle mutex = os_createMutex(false, name.c_str());
    Pipe ready;
    const pid_t child = spawn([&] {
      os_handle opened = os_openMutex(name.c_str());
      os_waitForSingleObject(opened, OS_INFINITE);
      os_waitForSingleObject(opened, OS_INFINITE);
      ready.post();
      if (killed) {
        os_sleep(OS_INFINITE);
      }
      return 0;
    });
    ready.take();
    if (killed) {
      kill(child, SIGKILL);
    }
    exitCode(child);
    EXPECT_EQ(os_waitForSingleObject(mutex, 20000), OS_WAIT_ABANDONED_0);
    EXPECT_TRUE(os_releaseMutex(mutex));
    EXPECT_FALSE(os_releaseMutex(mutex));
    os_closeHandle(mutex);
  }
}

// An event set in one process wakes a waiter in another; closing the last handle of a process
// releases the mutex its thread holds, for a waiter elsewhere.
TEST(NamedObjectsOs, WaitsAcrossProcesses) {
  const std::string eventName = testName("e"), mutexName = testName("m");
  os_handle event = os_createEvent(false, false, eventName.c_str());
  os_handle mutex = os_createMutex(true, mutexName.c_str());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(os_waitForSingleObject(event, 30), OS_WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  const pid_t child = spawn([&] {
    os_handle setter = os_createEvent(false, false, eventName.c_str());
    os_handle waiter = os_openMutex(mutexName.c_str());
    os_setEvent(setter);
    const bool acquired = os_waitForSingleObject(waiter, 20000) == OS_WAIT_OBJECT_0;
    return acquired && os_closeHandle(waiter) && os_closeHandle(setter) ? 0 : 1;
  });
  EXPECT_EQ(os_waitForSingleObject(event, 20000), OS_WAIT_OBJECT_0);
  os_closeHandle(mutex);
  EXPECT_EQ(exitCode(child), 0);
  os_closeHandle(event);
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
    start.post(kRacers);
    for (int i = 0; i < kRacers; ++i) {
      created.take();
    }
    finish.post(kRacers);
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
TEST(NamedMutexOs, ClosedWhileAnotherThreadHoldsIt) {
  const std::string name = testName("held");
  os_handle mutex = os_createMutex(false, name.c_str());
  std::atomic<int> stage{0};
  std::thread holder([&] {
    os_waitForSingleObject(mutex, OS_INFINITE);
    stage = 1;
    while (stage != 2) {
      os_sleep(1);
    }
  });
  while (stage != 1) {
    os_sleep(1);
  }
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

TEST(NamedObjectsOs, InjectedFailuresLeaveNothingBehind) {
  using Inject = void (*)();
  const Inject injections[] = {
      [] { os_sys.shm_open = [](const char*, int, mode_t) { return errno = EMFILE, -1; }; },
      [] { os_sys.ftruncate = [](int, off_t) { return errno = ENOSPC, -1; }; },
      [] {
        os_sys.mmap = [](void*, size_t, int, int, int, off_t) {
          errno = ENOMEM;
          return MAP_FAILED;
        };
      },
  };
  for (const Inject inject : injections) {
    const std::string name = testName("fail");
    const long files = openFiles();
    inject();
    EXPECT_EQ(os_createSemaphore(0, 1, name.c_str()), nullptr);
    EXPECT_EQ(os_getLastError(), OS_ERROR_NOT_ENOUGH_MEMORY);
    os_posixSyscallsReset();
    EXPECT_FALSE(nameExists(name));
    EXPECT_EQ(openFiles(), files);
  }
  // Opening an object that exists: a child process maps it for itself.
  const std::string name = testName("fail-open");
  os_handle semaphore = os_createSemaphore(0, 1, name.c_str());
  const pid_t child = spawn([&] {
    const long files = openFiles();
    injections[2]();
    const bool failed = os_openSemaphore(name.c_str()) == nullptr &&
                        os_getLastError() == OS_ERROR_NOT_ENOUGH_MEMORY;
    return failed && openFiles() == files ? 0 : 1;
  });
  EXPECT_EQ(exitCode(child), 0);
  EXPECT_TRUE(nameExists(name));
  os_closeHandle(semaphore);
  EXPECT_FALSE(nameExists(name));
}

#endif  // !defined(_WIN32)

}  // namespace
