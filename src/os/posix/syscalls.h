// Every system call of the POSIX backend goes through this one table, so that tests can make a
// chosen call fail and check that the library turns the failure into the right outcome.
// Tests replace entries and restore them with os_posixSyscallsReset().
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

struct os_posixSyscalls {
  int (*dladdr)(const void* address, Dl_info* info);
  int (*dl_iterate_phdr)(int (*callback)(struct dl_phdr_info*, size_t, void*), void* data);
  char* (*realpath)(const char* path, char* resolved);
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);
  int (*fstat)(int fd, struct stat* st);
  ssize_t (*pread)(int fd, void* buffer, size_t count, off_t offset);
  int (*clock_nanosleep)(clockid_t clock, int flags, const struct timespec* request,
                         struct timespec* remain);
  int (*sched_yield)();
};

extern os_posixSyscalls os_sys;

void os_posixSyscallsReset();
