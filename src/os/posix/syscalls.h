// Every system call of the POSIX backend goes through this one table, so that tests can make a
// chosen call fail and check that the library turns the failure into the right outcome.
// Tests replace entries and restore them with os_posixSyscallsReset().
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

// Every entry carries its default here; a new entry is one line with its default.
struct os_posixSyscalls {
  int (*dladdr)(const void* address, Dl_info* info) = ::dladdr;
  int (*dl_iterate_phdr)(int (*callback)(struct dl_phdr_info*, size_t, void*),
                         void* data) = ::dl_iterate_phdr;
  char* (*realpath)(const char* path, char* resolved) = ::realpath;
  int (*open)(const char* path, int flags, mode_t mode) =
      [](const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); };
  int (*close)(int fd) = ::close;
  int (*fstat)(int fd, struct stat* st) = ::fstat;
  ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset) = ::pread;
  int (*clock_nanosleep)(clockid_t clock, int flags, const struct timespec* request,
                         struct timespec* remain) = ::clock_nanosleep;
  int (*sched_yield)() = ::sched_yield;
  // Named kernel objects and timed waits.
  int (*shm_open)(const char* name, int flags, mode_t mode) = ::shm_open;
  int (*shm_unlink)(const char* name) = ::shm_unlink;
  int (*ftruncate)(int fd, off_t length) = ::ftruncate;
  void* (*mmap)(void* address, size_t length, int protection, int flags, int fd,
                off_t offset) = ::mmap;
  int (*munmap)(void* address, size_t length) = ::munmap;
  // fcntl for record locks only (F_SETLK, F_SETLKW).
  int (*fcntlLock)(int fd, int command, struct flock* lock) =
      [](int fd, int command, struct flock* lock) { return ::fcntl(fd, command, lock); };
  int (*clock_gettime)(clockid_t clock, struct timespec* now) = ::clock_gettime;
  int (*tgkill)(pid_t process, pid_t thread, int signalNumber) = ::tgkill;
  // System information and processor affinity.
  long (*sysconf)(int name) = ::sysconf;
  int (*uname)(struct utsname* name) = ::uname;
  pid_t (*getpid)() = ::getpid;
  int (*sched_getaffinity)(pid_t thread, size_t size, cpu_set_t* mask) = ::sched_getaffinity;
  int (*sched_setaffinity)(pid_t thread, size_t size, const cpu_set_t* mask) = ::sched_setaffinity;
  // Threads and thread-local slots.
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attributes,
                        void* (*start)(void*), void* argument) = ::pthread_create;
  int (*pthread_key_create)(pthread_key_t* key, void (*destructor)(void*)) = ::pthread_key_create;
  int (*pthread_key_delete)(pthread_key_t key) = ::pthread_key_delete;
  void* (*pthread_getspecific)(pthread_key_t key) = ::pthread_getspecific;
  int (*pthread_setspecific)(pthread_key_t key, const void* value) = ::pthread_setspecific;
  int (*setpriority)(int which, id_t who, int priority) =
      [](int which, id_t who, int priority) {
        return ::setpriority(static_cast<__priority_which_t>(which), who, priority);
      };
  pid_t (*gettid)() = ::gettid;
};

extern os_posixSyscalls os_sys;

void os_posixSyscallsReset();
