// The OS layer where the library's tests and the fuzz targets do not reach: exact last errors,
// counts above one, wait-any, names, killed processes, creation races, version files.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "os/os.h"
#include "support/objects.h"
#include "support/pe_fixture.h"
#if !defined(_WIN32)
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"
#endif

namespace {

using namespace pmtsys_test;

// The last error after a call that must fail (~0u when it succeeded), which is then cleared.
uint32_t errorOf(bool succeeded) {
  const uint32_t error = succeeded ? ~0u : os_getLastError();
  os_setLastError(0);
  return error;
}

TEST(KernelObjectsOs, WaitAnyThenRefusalsTheLibraryNeverMakesWithTheirErrors) {
  os_handle objects[] = {os_createSemaphore(0, 1000000, ""),  // an empty name is no name
                         os_createSemaphore(0, 1000000, nullptr)};
  const auto waitAny = [&objects](uint32_t ms) { return os_waitForAnyObject(2, objects, ms); };
  EXPECT_EQ(waitAny(25), OS_WAIT_TIMEOUT);
  for (os_handle object : {objects[1], objects[0]}) os_releaseSemaphore(object, 1, nullptr);
  EXPECT_EQ((std::vector{waitAny(0), waitAny(0), waitAny(0)}),
            (std::vector{OS_WAIT_OBJECT_0, OS_WAIT_OBJECT_0 + 1, OS_WAIT_TIMEOUT}));
  // Every unit is taken exactly once: a lost wake-up hangs, a double hand-over leaves some.
  const int perThread = pmtsys_test::stressIterations(2000);  // system calls on Windows
  std::atomic<int> consumed{0};
  pmtsys_test::race(4, [&](int t) {  // two posting, two taking
    for (int i = 0; i < perThread; ++i) {
      if (t < 2) os_releaseSemaphore(objects[(i + t) % 2], 1, nullptr);
      if (t >= 2) consumed += waitAny(OS_INFINITE) <= OS_WAIT_OBJECT_0 + 1;
    }
  });
  EXPECT_EQ(consumed, 2 * perThread);
  EXPECT_EQ(waitAny(0), OS_WAIT_TIMEOUT);
  uint32_t id = 0, adoptedId = 0;
  os_handle adopted = nullptr, started = os_beginThread(
                                   64 * 1024, [](void*) { return os_sleep(50), 0u; }, nullptr, &id);
  std::thread([&] {
    adopted = os_duplicateCurrentThread();
    adoptedId = os_getCurrentThreadId();
  }).join();
  EXPECT_TRUE(id != 0 && adoptedId != 0 && adoptedId != os_getCurrentThreadId());
  for (os_handle thread : {started, adopted}) {
    const os_handle semaphoreAndThread[2] = {objects[0], thread};
    EXPECT_EQ(os_waitForAnyObject(2, semaphoreAndThread, OS_INFINITE), OS_WAIT_OBJECT_0 + 1);
    EXPECT_EQ(os_waitForSingleObject(thread, 0), OS_WAIT_OBJECT_0);
    EXPECT_TRUE(os_closeHandle(thread));
  }
  os_handle semaphore = objects[0], mutex = os_createMutex(false, nullptr);
  os_handle self = os_duplicateCurrentThread();
  EXPECT_TRUE(os_setCurrentThreadPriority(-15));  // raising needs a privilege on some systems
  int32_t previous = -1;
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, &previous));
  os_handle withNull[] = {semaphore, nullptr}, withMutex[] = {semaphore, mutex};
  os_setLastError(0);
  const std::vector<uint32_t> errors = {
    errorOf(os_setEvent(semaphore)),
    errorOf(os_releaseMutex(semaphore)),
    errorOf(os_closeHandle(nullptr)),
    errorOf(os_waitForSingleObject(nullptr, 0) != OS_WAIT_FAILED),
    errorOf(os_waitForAnyObject(2, withNull, 0) != OS_WAIT_FAILED),
    errorOf(os_releaseSemaphore(semaphore, 0, nullptr)),  // invalid parameters from here on
    errorOf(os_waitForAnyObject(0, &semaphore, 0) != OS_WAIT_FAILED),
    errorOf(os_waitForAnyObject(OS_MAXIMUM_WAIT_OBJECTS + 1, withNull, 0) != OS_WAIT_FAILED),
    errorOf(os_setCurrentThreadPriority(3)),
    errorOf(os_setCurrentThreadPriority(-3)),
    errorOf(os_setCurrentThreadPriority(6)),
    errorOf(os_setThreadPriority(self, -7)),
    errorOf(os_setThreadAffinityMask(self, uint64_t{1} << 63) != 0),
#if !defined(_WIN32)
    errorOf(os_waitForAnyObject(2, withMutex, 0) != OS_WAIT_FAILED),  // a mutex waits alone
#endif
  };
  std::vector<uint32_t> expected(5, OS_ERROR_INVALID_HANDLE);
  expected.resize(errors.size(), OS_ERROR_INVALID_PARAMETER);
  EXPECT_EQ(errors, expected);
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, &previous));
  EXPECT_EQ(previous, 2);  // no refusal changed the count
  EXPECT_EQ(os_waitForAnyObject(1, withMutex + 1, 0), OS_WAIT_OBJECT_0);
  EXPECT_TRUE(os_releaseMutex(mutex));
  EXPECT_EQ(std::make_pair(os_getThreadPriority(self), os_getCurrentThreadPriority()),
            std::make_pair(-15, -15));
  for (os_handle handle : {objects[0], objects[1], mutex, self}) os_closeHandle(handle);
  const uint32_t slot = os_tlsAlloc();
  os_setLastError(OS_ERROR_ACCESS_DENIED);
  EXPECT_EQ(os_tlsGetValue(slot), nullptr);
  EXPECT_EQ(os_getLastError(), OS_ERROR_SUCCESS);  // unset, not failed
  EXPECT_TRUE(os_tlsFree(slot));
}

#if !defined(_WIN32)
bool nameExists(const std::string& name) {
  std::string file;
  EXPECT_TRUE(os_posix::sharedMemoryName(name.c_str(), &file)) << name;
  return std::filesystem::exists("/dev/shm" + file);
}

struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() { close(fds[0]), close(fds[1]); }
  void post(char message = 'x') { EXPECT_EQ(write(fds[1], &message, 1), 1); }
  char take(char message = 0) { return read(fds[0], &message, 1) == 1 ? message : '?'; }
};

Pipe* g_stopped;  // where a child stopped by a system-call hook tells (a hook cannot capture)

template <class Body>
pid_t spawn(Body body) {
  const pid_t pid = fork();
  return pid == 0 ? _exit(body()), 0 : pid;
}

int exitCode(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Names keep their case and may hold '/'; "Local\\x" names "x"; names differing past the room of
// a file name stay apart; named objects are waited for alone.
TEST(NamedObjectsOs, NamesMapLikeWindowsAndAMutexClosedWhileHeldStays) {
  const std::string base = uniqueName("pmt-os-n");
  const std::string longName = base + std::string(260 - base.size(), 'L');
  const std::pair<std::vector<std::string>, uint32_t> creations[] = {
      {{base, "P" + base.substr(1), "Global\\" + base, base + "/x", base + "%2Fx", longName,
        longName.substr(0, 259) + "M"},
       OS_ERROR_SUCCESS},
      {{longName, "Local\\" + base}, OS_ERROR_ALREADY_EXISTS},
      {{longName + "x", base + "\\x", "Local\\", "Global\\Local\\" + base},
       OS_ERROR_INVALID_PARAMETER}};
  std::vector<os_handle> handles;
  for (const auto& [names, error] : creations) {
    for (const std::string& name : names) {
      os_setLastError(0);
      handles.push_back(os_createEvent(true, false, name.c_str()));
      EXPECT_EQ(os_getLastError(), error) << name;
      EXPECT_EQ(handles.back() != nullptr, error != OS_ERROR_INVALID_PARAMETER) << name;
      EXPECT_TRUE(handles.back() == nullptr || nameExists(name)) << name;
    }
  }
  EXPECT_EQ(os_waitForAnyObject(2, handles.data(), 0), OS_WAIT_FAILED);
  EXPECT_EQ(os_getLastError(), OS_ERROR_INVALID_PARAMETER);
  for (os_handle handle : handles) os_closeHandle(handle);  // the refused ones are null
  EXPECT_FALSE(nameExists(base) || nameExists(longName));
  // The last handle closes while another thread holds the mutex: the object stays (its memory is
  // on the holder's robust list), is abandoned when the holder ends, and goes with the next close.
  os_handle mutex = os_createMutex(false, base.c_str());
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
  os_handle opened = os_openMutex(base.c_str());
  EXPECT_EQ(os_waitForSingleObject(opened, 0), OS_WAIT_ABANDONED_0);
  EXPECT_TRUE(os_releaseMutex(opened));
  os_closeHandle(opened);
  EXPECT_FALSE(nameExists(base));
}

TEST(NamedObjectsOs, CreationRaceHasOneWinner) {
  constexpr int kRacers = 8;
  for (int round = 0; round < 5; ++round) {
    const std::string name = uniqueName("pmt-os-race");
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
    std::multiset<int> codes;  // 1 created, 2 opened
    for (const pid_t child : children) codes.insert(exitCode(child));
    EXPECT_EQ(codes, (std::multiset<int>{1, 2, 2, 2, 2, 2, 2, 2}));
    EXPECT_FALSE(nameExists(name));
  }
}

// SIGKILL at the worst moments: a mutex's owner (its waiter gets it, abandoned), a semaphore's
// waiter (the count stays whole), a creator with its file locked and half built (an open finds
// the name free again and removes the file).
TEST(NamedObjectsOs, ProcessesKilledAtTheWorstMoments) {
  const std::string m = uniqueName("pmt-os-kill-m"), s = uniqueName("pmt-os-kill-s"),
                    c = uniqueName("pmt-os-kill-c");
  os_handle semaphore = os_createSemaphore(0, 10, s.c_str());
  Pipe ready;
  const pid_t owner = spawn([&] {
    ready.post(os_createMutex(true, m.c_str()) != nullptr ? 'y' : 'n');
    os_sleep(OS_INFINITE);
    return 0;
  });
  ASSERT_EQ(ready.take(), 'y');
  const auto waiter = [&](os_handle (*open)(const char*), const std::string& name, uint32_t ms,
                          uint32_t expected) {
    return spawn([&, open, ms, expected] {
      os_handle opened = open(name.c_str());
      ready.post();
      return os_waitForSingleObject(opened, ms) == expected ? 0 : 1;
    });
  };
  const pid_t mutexWaiter = waiter(os_openMutex, m, 20000, OS_WAIT_ABANDONED_0);
  const pid_t deadWaiter = waiter(os_openSemaphore, s, OS_INFINITE, OS_WAIT_OBJECT_0);
  const pid_t creator = spawn([&] {
    g_stopped = &ready;
    os_sys.mmap = [](void*, size_t, int, int, int, off_t) -> void* {
      g_stopped->post();
      for (;;) pause();
    };
    os_createSemaphore(1, 1, c.c_str());
    return 1;
  });
  for (int i = 0; i < 3; ++i) ready.take();
  os_sleep(50);  // most likely both waiters are blocked in their waits by now
  for (const pid_t victim : {owner, deadWaiter, creator}) {
    kill(victim, SIGKILL);
    EXPECT_EQ(exitCode(victim), 128 + SIGKILL);
  }
  EXPECT_EQ(exitCode(mutexWaiter), 0);
  const pid_t liveWaiter = waiter(os_openSemaphore, s, 20000, OS_WAIT_OBJECT_0);
  ready.take();
  EXPECT_TRUE(os_releaseSemaphore(semaphore, 2, nullptr));
  EXPECT_EQ(exitCode(liveWaiter), 0);
  // An open whose mapping fails leaves nothing open (in the fault sweep, an open finds the
  // mapping its own process has).
  const pid_t unmapped = spawn([&] {
    const auto files = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto before = files();
    os_sys.mmap = [](void*, size_t, int, int, int, off_t) { return errno = ENOMEM, MAP_FAILED; };
    return errorOf(os_openSemaphore(s.c_str())) != OS_ERROR_NOT_ENOUGH_MEMORY || files() != before;
  });
  EXPECT_EQ(exitCode(unmapped), 0);
  EXPECT_EQ(os_waitForSingleObject(semaphore, 0), OS_WAIT_OBJECT_0);
  EXPECT_EQ(os_waitForSingleObject(semaphore, 0), OS_WAIT_TIMEOUT);
  os_closeHandle(semaphore);
  EXPECT_EQ(std::make_pair(nameExists(s), nameExists(c)), std::make_pair(false, true));
  EXPECT_EQ(errorOf(os_openSemaphore(c.c_str())), OS_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(nameExists(c));
}

#endif

constexpr char kProductName[] = "\\StringFileInfo\\040904B0\\ProductName";

// U+00AE takes two bytes in UTF-8, U+1F600 (a surrogate pair) four.
const std::vector<uint8_t> kResource = buildVersionResource({{812, 10103, 4, 5},
                                                             {{"ProductName", "Orrin"},
                                                              {"SpecialBuild", "Prerelease"},
                                                              {"Comments", "a\u00AE\U0001F600"}}});

class VersionResourceTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Reads as a caller does, size first; both steps fail with `error` (~0u: both succeed).
  std::vector<uint8_t> read(const std::vector<uint8_t>& bytes, uint32_t error = ~0u,
                            const std::string& suffix = "") const {
    EXPECT_TRUE(writeFile(path_, bytes));
    const std::string path = path_ + suffix;
    os_setLastError(0);
    const uint32_t size = os_fileVersionInfoSize(path.c_str());
    EXPECT_EQ(errorOf(size != 0), error);
    std::vector<uint8_t> data(size == 0 ? 4096 : size);
    const auto capacity = static_cast<uint32_t>(data.size());
    EXPECT_EQ(errorOf(os_fileVersionInfo(path.c_str(), capacity, data.data())), error);
    return data;
  }

  const std::string dir_ = makeTempDir();
  const std::string path_ = dir_ + "/orrinversn64.dll";
};

// Values are cut whole characters at a time. Damaged files only for the POSIX backend's reader
// (on Windows it is version.dll's; Wine's crashes on some).
TEST_F(VersionResourceTest, MissingBothFormatsKeysValuesAndDamagedFiles) {
  read({}, OS_ERROR_FILE_NOT_FOUND, ".none");
  read({}, OS_ERROR_PATH_NOT_FOUND, "/orrinversn64.dll");  // a file as folder
  const char* comments = "\\StringFileInfo\\040904B0\\Comments";
  const std::tuple<const char*, size_t, std::string> cases[] = {
      {kProductName, 64, "Orrin"},
      {"\\stringfileinfo\\040904b0\\SPECIALBUILD", 64, "Prerelease"},
      {"\\StringFileInfo\\040704B0\\ProductName", 64, "<missing>"},
      {"\\StringFileInfo\\040904B0\\ProductNam", 64, "<missing>"},
      {kProductName, 1, ""},
      {comments, 64, "a\u00AE\U0001F600"},
      {comments, 3, "a"},
      {comments, 4, "a\u00AE"},
      {comments, 7, "a\u00AE"},
  };
  for (const auto format : {PeFormat::pe32Plus, PeFormat::pe32}) {
    std::vector<uint8_t> data = read(buildPeWithResource(kResource, format));
    // Windows adds room for VerQueryValueA's conversion of the text to the ANSI code page.
    ASSERT_GE(data.size(), kResource.size());
    for (const auto& [path, capacity, expected] : cases) {
      std::vector<char> buffer(capacity, 'x');
      const bool found = os_versionQueryString(data.data(), path, buffer.data(), capacity);
      EXPECT_EQ(found ? buffer.data() : "<missing>", expected) << path << " " << capacity;
    }
    os_fixedFileInfo info{};
    ASSERT_TRUE(os_versionQueryFixed(data.data(), &info));
    EXPECT_EQ(std::make_pair(info.productVersionMS, info.productVersionLS),
              std::make_pair(0x032C2777u, 0x00040005u));
    data[40] ^= 1;  // the signature follows the 40-byte root header
    EXPECT_FALSE(os_versionQueryFixed(data.data(), &info));
  }
#if !defined(_WIN32)
  const std::vector<uint8_t> valid = buildPeWithResource(kResource);
  constexpr size_t pe = kPeHeaderOffset, resources = kPeResourceOffset;
  constexpr size_t entry = kPeResourceDataEntryOffset, section = pe + 24 + 240;
  const auto damaged = [&](size_t at, uint32_t value) {
    std::vector<uint8_t> file = valid;
    for (size_t i = 0; i < 4; ++i) file[at + i] = static_cast<uint8_t>(value >> (8 * i));
    return file;
  };
  const std::vector<uint8_t> files[] = {
      {},
      {'n', 'o', 't', ' ', 'P', 'E'},
      buildPeWithResource({}),               // no resource directory
      damaged(resources + 16, 6),            // resources, but none of type RT_VERSION (16)
      damaged(0x3C, 0xFFFFFFF0u),            // PE header offset past the end
      damaged(pe, 0x00004551u),              // PE signature
      damaged(pe + 24, 0x0000010Cu),         // optional header magic
      damaged(pe + 24 + 108, 2),             // directory count without resources
      damaged(pe + 4, 0x00008664u),          // section count 0
      damaged(resources + 20, 0x8000FFF0u),  // subdirectory past the end of the file
      damaged(resources + 68, 0x80000000u),  // language entry that is a directory
      damaged(entry, 0x00100000u),           // resource outside every section
      damaged(section + 8, 0x50),            // section that ends before the resource
      damaged(entry + 4, 0xFFFFFFF0u),       // resource larger than its section
      damaged(entry + 4, 100),               // resource smaller than its block
      damaged(kPeVersionOffset, 4),          // block length below a node header
  };
  for (const auto& file : files) {
    SCOPED_TRACE(&file - files);
    read(file, OS_ERROR_RESOURCE_TYPE_NOT_FOUND);
  }
  // A buffer one byte short is refused; so is a copy whose block changed after it was measured.
  read(valid);
  std::vector<uint8_t> data(4096);
  const auto shortSize = static_cast<uint32_t>(kResource.size() - 1);
  EXPECT_EQ(errorOf(os_fileVersionInfo(path_.c_str(), shortSize, data.data())),
            OS_ERROR_INVALID_PARAMETER);
  static const decltype(os_sys.pread) systemPread = os_sys.pread;
  os_sys.pread = [](int fd, void* buffer, size_t count, off_t offset) {
    const ssize_t got = systemPread(fd, buffer, count, offset);
    if (count == kResource.size()) static_cast<uint8_t*>(buffer)[0] ^= 4;  // the block's length
    return got;
  };
  EXPECT_FALSE(os_fileVersionInfo(path_.c_str(), 4096, data.data()));
  os_posixSyscallsReset();
#endif
}

}  // namespace
