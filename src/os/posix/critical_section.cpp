// Critical sections: a recursive pthread mutex in the caller's storage. The spin count is accepted
// and not applied: glibc has no recursive spinning mutex, and spinning on a machine with few
// cores only delays the thread that holds the lock.
#include <pthread.h>

#include "os/os.h"
#include "os/posix/syscalls.h"

namespace {

pthread_mutex_t* mutexIn(void* cs) {
  return static_cast<pthread_mutex_t*>(cs);
}

}  // namespace

size_t os_criticalSectionSize() {
  return sizeof(pthread_mutex_t);
}

bool os_criticalSectionInit(void* cs) {
  pthread_mutexattr_t attributes;
  int rc = os_sys.pthread_mutexattr_init(&attributes);
  if (rc == 0) {
    os_sys.pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    rc = os_sys.pthread_mutex_init(mutexIn(cs), &attributes);
    os_sys.pthread_mutexattr_destroy(&attributes);
  }
  if (rc != 0) {
    os_setLastError(OS_ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

bool os_criticalSectionInitSpin(void* cs, uint32_t /*spinCount*/) {
  return os_criticalSectionInit(cs);
}

void os_criticalSectionDelete(void* cs) {
  os_sys.pthread_mutex_destroy(mutexIn(cs));
}

void os_criticalSectionEnter(void* cs) {
  os_sys.pthread_mutex_lock(mutexIn(cs));
}

void os_criticalSectionLeave(void* cs) {
  os_sys.pthread_mutex_unlock(mutexIn(cs));
}
