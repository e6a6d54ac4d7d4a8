// Named kernel objects: a machine-wide namespace (per user) in POSIX shared memory.
//
// A name maps to the file "/pmt.<uid>.<escaped name>" (see docs/named-objects.md), holding the
// object itself: its type, its state and process-shared robust primitives. Record locks on that
// file give the lifetime Windows gives a named object:
// - whoever initializes it (its creator, or the first opener after every holder died) holds a
//   write lock while doing so, then turns it into a read lock; everyone else takes a blocking
//   read lock before looking, so nobody sees a half-built object;
// - every process that maps the object keeps its read lock until it lets go of it;
// - a process letting go drops its lock and tries for a write lock: getting it means nobody else
//   holds the object, so it unlinks the name. A name unlinked under a waiting opener shows as
//   st_nlink 0, and the opener starts again.
// Within a process, one descriptor and one mapping serve every handle to a name: a mutex then has
// one address (glibc's robust list is a list of addresses), and the locks can be the process's
// own (F_SETLK). Open-file-description locks would not do: a mapping holds the description open,
// and fork() shares it, so a child would keep its parent's lock for as long as it lives. A child
// inherits the descriptors but not the locks; it closes them (closing any descriptor of a file
// drops the process's locks on it) and opens names afresh.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string_view>

#include "os/posix/kernel_objects_internal.h"
#include "os/posix/syscalls.h"

namespace os_posix {

namespace {

constexpr uint32_t kMagic = 0x704D5401u;  // "pmT" and layout version 1
// Windows limits object names to MAX_PATH characters.
constexpr size_t kMaxNameLength = 260;
// NAME_MAX of the file under /dev/shm.
constexpr size_t kMaxFileNameLength = 255;

struct SharedObject {
  uint32_t magic;
  ObjectType type;
  pthread_mutex_t lock;    // a mutex object's mutex; for semaphores and events, guards `state`
  pthread_cond_t changed;  // semaphores and events: broadcast when `state` becomes signalled
  WaitableState state;
  char name[kMaxNameLength + 1];  // as mapped ("Local\" removed): tells hashed names apart
};

}  // namespace

struct NamedObject {
  SharedObject* shared;
  int fd;              // holds this process's read lock; -1 in a copy inherited across fork()
  std::string file;    // the shared-memory name
  std::string name;    // the name as mapped
  KernelObject* next;  // the process's list of named objects
};

namespace {

pthread_mutex_t g_namedLock = PTHREAD_MUTEX_INITIALIZER;
KernelObject* g_namedObjects = nullptr;  // guarded by g_namedLock
bool g_forkHandlersInstalled = false;    // guarded by g_namedLock

constexpr std::string_view kLocalPrefix = "Local\\";
constexpr std::string_view kGlobalPrefix = "Global\\";

// "Local\x" is "x"; "Global\x" keeps its prefix. Any other backslash is a namespace this layer
// does not have.
bool normalizeName(const char* name, std::string* normalized) {
  std::string_view view(name, strnlen(name, kMaxNameLength + 1));
  if (view.size() > kMaxNameLength) {
    return false;
  }
  std::string_view prefix;
  if (view.starts_with(kLocalPrefix)) {
    view.remove_prefix(kLocalPrefix.size());
  } else if (view.starts_with(kGlobalPrefix)) {
    prefix = kGlobalPrefix;
    view.remove_prefix(kGlobalPrefix.size());
  }
  if (view.empty() || view.find('\\') != std::string_view::npos) {
    return false;
  }
  normalized->assign(prefix).append(view);
  return true;
}

uint64_t fnv1a(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
  }
  return hash;
}

void appendHex(std::string* out, uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
    out->push_back(kDigits[(value >> shift) & 0xF]);
  }
}

// '/' cannot be in the name, '%' and '~' are the escape and hash marks, control characters are
// kept out of directory listings. A name too long for a file name keeps a readable prefix and a
// hash; the full name stored in the object tells colliding names apart.
std::string fileNameOf(const std::string& normalized) {
  std::string file = "/pmt." + std::to_string(os_sys.getuid()) + ".";
  const size_t room = kMaxFileNameLength + 1 - file.size();
  std::string escaped;
  for (const char c : normalized) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '%' || c == '~' || byte < 0x20 || byte == 0x7F) {
      escaped.push_back('%');
      appendHex(&escaped, byte, 2);
    } else {
      escaped.push_back(c);
    }
  }
  if (escaped.size() > room) {
    escaped.resize(room - 17);
    escaped.push_back('~');
    appendHex(&escaped, fnv1a(normalized), 16);
  }
  return file + escaped;
}

// Locks the robust mutex that guards a shared state; a holder that died leaves nothing to repair.
// False with the last error set when the lock cannot be taken.
bool lockRobust(pthread_mutex_t* mutex) {
  const int rc = os_sys.pthread_mutex_lock(mutex);
  if (rc == EOWNERDEAD) {
    os_sys.pthread_mutex_consistent(mutex);
  } else if (rc != 0) {
    setLastErrorFromErrno(rc);
    return false;
  }
  return true;
}

// Record locks on the whole file, owned by this process.
int lockFile(int fd, short type, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  for (;;) {
    if (os_sys.fcntlLock(fd, wait ? F_SETLKW : F_SETLK, &lock) == 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

// 0 once the name no longer leads to this file; -1 with the last error set when fstat fails.
// The same look gives the file's size to whoever asks for it.
long linkCount(int fd, off_t* size = nullptr) {
  struct stat status {};
  if (os_sys.fstat(fd, &status) != 0) {
    setLastErrorFromErrno(errno);
    return -1;
  }
  if (size != nullptr) {
    *size = status.st_size;
  }
  return static_cast<long>(status.st_nlink);
}

// Maps the object of an open name file; null with the last error set.
void* mapObject(int fd) {
  void* memory =
      os_sys.mmap(nullptr, sizeof(SharedObject), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (memory != MAP_FAILED) return memory;
  setLastErrorFromErrno(errno);
  return nullptr;
}

// Builds a new object in the file (write-locked by the caller) and turns the lock into a read
// lock. False with the last error set, leaving nothing mapped.
bool initialize(NamedObject& named, const ObjectParams& params) {
  if (os_sys.ftruncate(named.fd, sizeof(SharedObject)) != 0) {
    setLastErrorFromErrno(errno);
    return false;
  }
  void* memory = mapObject(named.fd);
  if (memory == nullptr) return false;
  auto* shared = new (memory) SharedObject{};
  shared->type = params.type;
  shared->state = params.initial;
  named.name.copy(shared->name, kMaxNameLength);
  const bool isMutex = params.type == ObjectType::mutex;
  const bool owned = isMutex && params.initialOwner;
  if (!initRobustMutex(&shared->lock, isMutex, true)) {
    os_sys.munmap(memory, sizeof(SharedObject));
    return false;
  }
  if (!isMutex) {
    pthread_condattr_t attributes;
    int rc = os_sys.pthread_condattr_init(&attributes);
    if (rc == 0) {
      os_sys.pthread_condattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
      rc = os_sys.pthread_cond_init(&shared->changed, &attributes);
      os_sys.pthread_condattr_destroy(&attributes);
    }
    if (rc != 0) {
      os_sys.munmap(memory, sizeof(SharedObject));
      setLastErrorFromErrno(rc);
      return false;
    }
  } else if (owned) {
    // Before anyone else can see it; nobody can hold it yet, so this cannot fail (or block under
    // the list lock).
    os_sys.pthread_mutex_trylock(&shared->lock);
  }
  shared->magic = kMagic;
  const int rc = lockFile(named.fd, F_RDLCK, false);
  if (rc != 0) {
    if (owned) {
      os_sys.pthread_mutex_unlock(&shared->lock);  // never unmap a held robust mutex
    }
    os_sys.munmap(memory, sizeof(SharedObject));
    setLastErrorFromErrno(rc);
    return false;
  }
  named.shared = shared;
  return true;
}

// Maps an object that another live holder built (the caller holds a read lock and has looked
// at the file's size). False with the last error set, leaving nothing mapped.
bool attach(NamedObject& named, ObjectType type, off_t size) {
  if (size < static_cast<off_t>(sizeof(SharedObject))) {
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return false;
  }
  void* memory = mapObject(named.fd);
  if (memory == nullptr) return false;
  auto* shared = static_cast<SharedObject*>(memory);
  if (shared->magic != kMagic || shared->type != type ||
      strncmp(shared->name, named.name.c_str(), sizeof(shared->name)) != 0) {
    // Another type of object, or another name with the same hash.
    os_sys.munmap(memory, sizeof(SharedObject));
    os_setLastError(OS_ERROR_INVALID_HANDLE);
    return false;
  }
  named.shared = shared;
  return true;
}

enum class Outcome { created, existed, retry, failed };

// One attempt at reaching the object behind `named.file`: creates it (when `params` is given) or
// opens it. `retry` means the name changed under the attempt.
Outcome reach(NamedObject& named, ObjectType type, const ObjectParams* params) {
  named.fd = -1;
  bool madeFile = false;
  if (params != nullptr) {
    named.fd = os_sys.shm_open(named.file.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    madeFile = named.fd >= 0;
    if (named.fd < 0 && errno != EEXIST) {
      setLastErrorFromErrno(errno);
      return Outcome::failed;
    }
  }
  if (named.fd < 0) {
    named.fd = os_sys.shm_open(named.file.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (named.fd < 0) {
      if (errno == ENOENT && params != nullptr) {
        return Outcome::retry;  // unlinked since our O_EXCL attempt
      }
      setLastErrorFromErrno(errno);
      return Outcome::failed;
    }
  }
  int rc = lockFile(named.fd, F_WRLCK, false);
  if (rc == 0) {
    // Nobody else holds the file: it is new, or every holder of the object is gone.
    const long links = linkCount(named.fd);
    if (links > 0 && params != nullptr && initialize(named, *params)) {
      return Outcome::created;
    }
    // A failed build, or an object nobody holds any more: neither keeps its name. A file this
    // attempt made still has it (nobody unlinks without the write lock held here), even when
    // fstat cannot tell.
    if (links > 0 || madeFile) {
      if (params == nullptr) {
        os_setLastError(OS_ERROR_FILE_NOT_FOUND);
      }
      os_sys.shm_unlink(named.file.c_str());
    }
    os_sys.close(named.fd);
    return links == 0 ? Outcome::retry : Outcome::failed;
  }
  if (rc == EAGAIN || rc == EACCES) {
    rc = lockFile(named.fd, F_RDLCK, true);
  }
  if (rc != 0) {
    setLastErrorFromErrno(rc);
    os_sys.close(named.fd);
    return Outcome::failed;
  }
  off_t size = 0;
  const long links = linkCount(named.fd, &size);
  if (links > 0 && attach(named, type, size)) {
    return Outcome::existed;
  }
  os_sys.close(named.fd);
  return links == 0 ? Outcome::retry : Outcome::failed;
}

// The object this process maps for a name (or, given `file`, under a file name: another name with
// the same hash), found without building the file name or asking for the user.
KernelObject* findMapped(const std::string& name, const std::string* file = nullptr) {
  for (KernelObject* object = g_namedObjects; object != nullptr; object = object->named->next) {
    if (object->named->fd >= 0 &&
        (file != nullptr ? object->named->file == *file : object->named->name == name)) {
      return object;
    }
  }
  return nullptr;
}

void unlist(KernelObject* object) {
  KernelObject** link = &g_namedObjects;
  while (*link != object) {
    link = &(*link)->named->next;
  }
  *link = object->named->next;
}

// A new object for the name, mapped and read-locked; null with the last error set.
KernelObject* mapNamed(std::string name, std::string file, ObjectType type,
                       const ObjectParams* params, bool* existed) {
  auto* named = new (std::nothrow) NamedObject{nullptr, -1, std::move(file), std::move(name), {}};
  auto* object = new (std::nothrow) KernelObject{type, {1}, nullptr, named, {}, {}};
  if (named == nullptr || object == nullptr) {
    delete named;
    delete object;
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Outcome outcome;
  do {
    outcome = reach(*named, type, params);
  } while (outcome == Outcome::retry);
  if (outcome == Outcome::failed) {
    delete named;
    delete object;
    return nullptr;
  }
  *existed = outcome == Outcome::existed;
  if (type == ObjectType::mutex) {
    object->mutex = &named->shared->lock;
  }
  return object;
}

void lockList() {
  os_sys.pthread_mutex_lock(&g_namedLock);
}

void unlockList() {
  os_sys.pthread_mutex_unlock(&g_namedLock);
}

// The child's inherited handles keep working on the mappings; its own opens map anew.
void forgetInheritedFiles() {
  for (KernelObject* object = g_namedObjects; object != nullptr; object = object->named->next) {
    if (object->named->fd >= 0) {
      os_sys.close(object->named->fd);
      object->named->fd = -1;
    }
  }
  unlockList();
}

// Lets go of an object no handle of this process refers to any more.
void dispose(KernelObject* object) {
  NamedObject* named = object->named;
  if (object->type == ObjectType::mutex && !releaseForDisposal(object->mutex)) {
    // It stays listed with its lock: the name lives on, an open in this process finds it again,
    // and the mutex is abandoned when its holder ends.
    return;
  }
  unlist(object);
  if (named->fd >= 0) {
    // Our read lock goes first: of holders leaving together, the last to try then finds no lock.
    lockFile(named->fd, F_UNLCK, false);
    if (lockFile(named->fd, F_WRLCK, false) == 0 && linkCount(named->fd) > 0) {
      os_sys.shm_unlink(named->file.c_str());
    }
    os_sys.close(named->fd);
  }
  // The shared primitives are not destroyed: other processes may still use them, and a process
  // that died waiting leaves glibc's condition variable counting a waiter that never leaves.
  os_sys.munmap(named->shared, sizeof(SharedObject));
  delete named;
  delete object;
}

}  // namespace

bool sharedMemoryName(const char* name, std::string* shmName) {
  std::string normalized;
  if (!normalizeName(name, &normalized)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return false;
  }
  *shmName = fileNameOf(normalized);
  return true;
}

KernelObject* namedAcquire(const char* name, ObjectType type, const ObjectParams* params,
                           bool* existed) {
  std::string normalized;
  if (!normalizeName(name, &normalized)) {
    os_setLastError(OS_ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  os_sys.pthread_mutex_lock(&g_namedLock);
  // A child of fork() must not keep its parent's mappings as its own: no object without that.
  if (!g_forkHandlersInstalled &&
      os_sys.pthread_atfork(lockList, unlockList, forgetInheritedFiles) == 0) {
    g_forkHandlersInstalled = true;
  }
  KernelObject* object = nullptr;
  if (!g_forkHandlersInstalled) {
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
  } else if ((object = findMapped(normalized)) != nullptr) {
    if (object->type != type) {
      os_setLastError(OS_ERROR_INVALID_HANDLE);
      object = nullptr;
    } else {
      object->references.fetch_add(1, std::memory_order_relaxed);
      *existed = true;
    }
  } else {
    std::string file = fileNameOf(normalized);
    if (findMapped(normalized, &file) != nullptr) {
      // Another name with the same hash, mapped here: our own record lock would not keep us from
      // building over its object.
      os_setLastError(OS_ERROR_INVALID_HANDLE);
    } else {
      object = mapNamed(std::move(normalized), std::move(file), type, params, existed);
      if (object != nullptr) {
        object->named->next = g_namedObjects;
        g_namedObjects = object;
      }
    }
  }
  os_sys.pthread_mutex_unlock(&g_namedLock);
  return object;
}

void namedRelease(KernelObject* object) {
  // Under the list lock, so that a lookup never revives an object on its way out.
  os_sys.pthread_mutex_lock(&g_namedLock);
  if (object->references.fetch_sub(1, std::memory_order_relaxed) == 1) {
    dispose(object);
  }
  os_sys.pthread_mutex_unlock(&g_namedLock);
}

uint32_t namedWait(KernelObject* object, uint32_t milliseconds) {
  const bool infinite = isInfinite(milliseconds);
  timespec deadline{};
  if (milliseconds != 0 && !infinite && !deadlineAfter(milliseconds, &deadline)) {
    return OS_WAIT_FAILED;
  }
  SharedObject& shared = *object->named->shared;
  if (!lockRobust(&shared.lock)) {
    return OS_WAIT_FAILED;
  }
  uint32_t result = OS_WAIT_TIMEOUT;
  int rc = 0;
  while (milliseconds != 0 && rc != ETIMEDOUT && !isSignalled(shared.state)) {
    rc = infinite ? os_sys.pthread_cond_wait(&shared.changed, &shared.lock)
                  : os_sys.pthread_cond_clockwait(&shared.changed, &shared.lock, CLOCK_MONOTONIC,
                                                  &deadline);
    if (rc == EOWNERDEAD) {
      os_sys.pthread_mutex_consistent(&shared.lock);
    }
  }
  if (isSignalled(shared.state)) {
    consume(shared.state);
    result = OS_WAIT_OBJECT_0;
  }
  os_sys.pthread_mutex_unlock(&shared.lock);
  return result;
}

bool namedChange(KernelObject* object, StateChange change, int32_t releaseCount,
                 int32_t* previousCount) {
  SharedObject& shared = *object->named->shared;
  if (!lockRobust(&shared.lock)) {
    return false;
  }
  const bool changed = applyChange(shared.state, change, releaseCount, previousCount);
  if (isSignalled(shared.state)) {
    // Every waiter rechecks: a signal could go to a waiter whose process has died.
    os_sys.pthread_cond_broadcast(&shared.changed);
  }
  os_sys.pthread_mutex_unlock(&shared.lock);
  return changed;
}

}  // namespace os_posix
