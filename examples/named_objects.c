/* Critical sections inside a process, named mutexes, semaphores and events between processes.
 *
 * The program starts itself a second time ("child NAME") through the C library's system(), so
 * the same code runs on every platform. Named objects live in a machine-wide namespace: the
 * child opens what the parent created by name, finds the mutex owned by the parent, and signals
 * back through the semaphore and the event. Objects belong to the caller's own variables and
 * are managed by _construct / _destruct pairs; a wait that times out is no failure: it returns
 * 0 with *acquired 0. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pmtsys.h"

#define CHECK(call)                                                     \
  do {                                                                  \
    const csys_status status_ = (call);                                 \
    if (CSYS_FAILED(status_)) {                                         \
      fprintf(stderr, "%s failed: 0x%08x\n", #call, (unsigned)status_); \
      exit(1);                                                          \
    }                                                                   \
  } while (0)

static void nameOf(char* out, size_t size, const char* base, const char* kind) {
  snprintf(out, size, "%s.%s", base, kind);
}

/* The child. Opening by name alone (_constructNamedExists) grants waiting only; to signal, open
 * with _constructNamed and allowExisting 1, and `created` tells whether the object was new. */
static int child(const char* base) {
  char name[128];
  csys_mutex mutex;
  csys_semaphore slots;
  csys_event done;
  int32_t acquired = 1;
  nameOf(name, sizeof name, base, "mutex");
  CHECK(csys_mutex_constructNamedExists(&mutex, name));
  nameOf(name, sizeof name, base, "slots");
  CHECK(csys_semaphore_constructNamed(&slots, name, 1, 0, 1));
  nameOf(name, sizeof name, base, "done");
  CHECK(csys_event_constructNamed(&done, name, 1, 1, 0));
  if (slots.created || done.created) return 1; /* the parent's objects, not new ones */

  CHECK(csys_mutex_waitTimeout(&mutex, 100, &acquired)); /* the parent holds it */
  printf("  child: mutex %s\n", acquired ? "ACQUIRED" : "held by the other process");
  CHECK(csys_semaphore_release(&slots));
  CHECK(csys_event_set(&done));

  csys_event_destruct(&done);
  csys_semaphore_destruct(&slots);
  csys_mutex_destruct(&mutex);
  return acquired ? 1 : 0;
}

static csys_status addOne(void* counter) {
  ++*(int*)counter;
  return CSYS_OK;
}

int main(int argc, char** argv) {
  char base[96];
  char name[128];
  char command[1024];
  csys_criticalSection lock;
  csys_mutex mutex;
  csys_semaphore slots;
  csys_event done;
  int32_t owned = 0;
  int32_t signalled = 0;
  int32_t slot = 0;
  int counter = 0;

  if (argc == 3 && strcmp(argv[1], "child") == 0) return child(argv[2]);

  /* A critical section: a recursive lock of this process; protect runs a function under it. */
  CHECK(csys_criticalSection_construct(&lock));
  CHECK(csys_criticalSection_protect(&lock, addOne, &counter));
  csys_criticalSection_destruct(&lock);
  printf("critical section: counter %d\n", counter);

  /* Names unique to this run. */
  snprintf(base, sizeof base, "pmtsys.example.%lx.%p", (unsigned long)time(NULL), (void*)&base);
  nameOf(name, sizeof name, base, "mutex");
  CHECK(csys_mutex_constructNamed(&mutex, name, 0, 1, &owned)); /* created and owned */
  nameOf(name, sizeof name, base, "slots");
  CHECK(csys_semaphore_constructNamed(&slots, name, 0, 0, 1)); /* count 0, maximum 1 */
  nameOf(name, sizeof name, base, "done");
  CHECK(csys_event_constructNamed(&done, name, 0, 1, 0)); /* manual reset, not signalled */

  printf("parent: starting the child\n");
  fflush(stdout);
  snprintf(command, sizeof command, "\"%s\" child %s", argv[0], base);
  if (system(command) != 0) return 1;

  CHECK(csys_event_waitTry(&done, &signalled));
  CHECK(csys_semaphore_waitTry(&slots, &slot));
  printf("parent: event %s, semaphore %s\n", signalled ? "set by the child" : "NOT SET",
         slot ? "released by the child" : "NOT RELEASED");

  CHECK(csys_mutex_unlock(&mutex));
  csys_event_destruct(&done);
  csys_semaphore_destruct(&slots);
  csys_mutex_destruct(&mutex);
  return owned && signalled && slot ? 0 : 1;
}
