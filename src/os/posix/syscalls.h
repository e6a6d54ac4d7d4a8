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
#include <stdio.h>
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
  uid_t (*getuid)() = ::getuid;
  pid_t (*gettid)() = ::gettid;
  int (*getrusage)(int who, struct rusage* usage) = [](int who, struct rusage* usage) {
    return ::getrusage(static_cast<__rusage_who_t>(who), usage);
  };
  // Threads: attributes, mutexes (robust and process-shared ones too) and condition variables.
  int (*pthread_mutexattr_init)(pthread_mutexattr_t* attributes) = ::pthread_mutexattr_init;
  int (*pthread_mutexattr_destroy)(pthread_mutexattr_t* attributes) = ::pthread_mutexattr_destroy;
  int (*pthread_mutexattr_settype)(pthread_mutexattr_t* attributes,
                                   int type) = ::pthread_mutexattr_settype;
  int (*pthread_mutexattr_setrobust)(pthread_mutexattr_t* attributes,
                                     int robust) = ::pthread_mutexattr_setrobust;
  int (*pthread_mutexattr_setpshared)(pthread_mutexattr_t* attributes,
                                      int shared) = ::pthread_mutexattr_setpshared;
  int (*pthread_mutex_init)(pthread_mutex_t* mutex,
                            const pthread_mutexattr_t* attributes) = ::pthread_mutex_init;
  int (*pthread_mutex_destroy)(pthread_mutex_t* mutex) = ::pthread_mutex_destroy;
  int (*pthread_mutex_lock)(pthread_mutex_t* mutex) = ::pthread_mutex_lock;
  int (*pthread_mutex_trylock)(pthread_mutex_t* mutex) = ::pthread_mutex_trylock;
  int (*pthread_mutex_clocklock)(pthread_mutex_t* mutex, clockid_t clock,
                                 const timespec* deadline) = ::pthread_mutex_clocklock;
  int (*pthread_mutex_unlock)(pthread_mutex_t* mutex) = ::pthread_mutex_unlock;
  int (*pthread_mutex_consistent)(pthread_mutex_t* mutex) = ::pthread_mutex_consistent;
  int (*pthread_condattr_init)(pthread_condattr_t* attributes) = ::pthread_condattr_init;
  int (*pthread_condattr_destroy)(pthread_condattr_t* attributes) = ::pthread_condattr_destroy;
  int (*pthread_condattr_setpshared)(pthread_condattr_t* attributes,
                                     int shared) = ::pthread_condattr_setpshared;
  int (*pthread_cond_init)(pthread_cond_t* condition,
                           const pthread_condattr_t* attributes) = ::pthread_cond_init;
  int (*pthread_cond_destroy)(pthread_cond_t* condition) = ::pthread_cond_destroy;
  int (*pthread_cond_wait)(pthread_cond_t* condition, pthread_mutex_t* mutex) = ::pthread_cond_wait;
  int (*pthread_cond_clockwait)(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                                const timespec* deadline) = ::pthread_cond_clockwait;
  int (*pthread_cond_signal)(pthread_cond_t* condition) = ::pthread_cond_signal;
  int (*pthread_cond_broadcast)(pthread_cond_t* condition) = ::pthread_cond_broadcast;
  int (*pthread_atfork)(void (*prepare)(), void (*parent)(), void (*child)()) = ::pthread_atfork;
  // Clocks: the counter's resolution stands for its frequency query. Linux records no nominal
  // processor rate, so that lookup answers "unknown" unless a test supplies one.
  int (*clock_getres)(clockid_t clock, struct timespec* resolution) = ::clock_getres;
  bool (*processorNominalMHz)(uint32_t* mhz) = [](uint32_t*) { return false; };
  // Buffered files, under the names the Windows table uses for the same calls.
  FILE* (*fopen)(const char* path, const char* mode) = ::fopen;
  int (*fclose)(FILE* file) = ::fclose;
  off_t (*ftell64)(FILE* file) = ::ftello;
  int (*fseek64)(FILE* file, off_t offset, int origin) = ::fseeko;
  // Threads and thread-local slots.
  int (*pthread_create)(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                        void* argument) = ::pthread_create;
  int (*pthread_key_create)(pthread_key_t* key, void (*destructor)(void*)) = ::pthread_key_create;
  int (*pthread_key_delete)(pthread_key_t key) = ::pthread_key_delete;
  void* (*pthread_getspecific)(pthread_key_t key) = ::pthread_getspecific;
  int (*pthread_setspecific)(pthread_key_t key, const void* value) = ::pthread_setspecific;
  int (*setpriority)(int which, id_t who, int priority) = [](int which, id_t who, int priority) {
    return ::setpriority(static_cast<__priority_which_t>(which), who, priority);
  };
};

extern os_posixSyscalls os_sys;

void os_posixSyscallsReset();
