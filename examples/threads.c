/* Threads with thread-local values and thread cleanups.
 *
 * csys_thread_create starts a thread the library knows: it gets its own per-thread block, and
 * when it ends the library runs the cleanups it registered and destroys its thread-local values.
 * A thread-local value lives under a process-wide key, allocated once through the caller's key
 * variable and once flag; each thread stores its own value and the function that destroys it.
 * Handles (csys_thread) are constructed before use and each holds one reference. */
#include <stdarg.h>
#include <stdio.h>

#include "pmtsys.h"

#define WORKERS 4

static uint32_t g_key = 0xFFFFFFFFu; /* the thread-local key, allocated on first use */
static int32_t g_keyOnce = 0;
static csys_criticalSection g_lock; /* guards g_total */
static int32_t g_lockOnce = 0;
static int64_t g_total = 0;
static int32_t g_cleanupsRun = 0;

/* Runs in the ending thread, before its thread-local values are destroyed. */
static csys_status countCleanup(void* arg) {
  (void)arg;
  return csys_atomicIncrement(&g_cleanupsRun, NULL);
}

static csys_status addToTotal(void* amount) {
  g_total += *(int64_t*)amount;
  return CSYS_OK;
}

static uint32_t work(void* argument) {
  const int32_t id = (int32_t)(intptr_t)argument;
  int64_t* scratch = NULL;
  uintptr_t stored = 0;
  int32_t i;
  csys_status status = csys_threadLocal_alloc(&g_key, &g_keyOnce);
  /* This thread's value: a block freed by csys_memory_free_internal(&value) when it ends. */
  if (!CSYS_FAILED(status)) status = csys_memory_allocClear(sizeof *scratch, &scratch);
  if (!CSYS_FAILED(status)) {
    status = csys_threadLocal_setValuePtr(g_key, (uintptr_t)scratch, csys_memory_free_internal);
    if (CSYS_FAILED(status)) csys_memory_free(&scratch); /* not handed over */
  }
  if (!CSYS_FAILED(status)) status = csys_thread_cleanup_register(countCleanup, NULL);
  /* Deeper code finds the value through the key, not through arguments. */
  if (!CSYS_FAILED(status)) status = csys_threadLocal_getValue(g_key, &stored);
  for (i = 1; !CSYS_FAILED(status) && i <= 1000; ++i) *(int64_t*)stored += i * id;
  /* A critical section created once for the process, destroyed at shutdown. */
  if (!CSYS_FAILED(status)) status = csys_criticalSection_constructSingleton(&g_lock, &g_lockOnce);
  if (!CSYS_FAILED(status)) status = csys_criticalSection_protect(&g_lock, addToTotal, scratch);
  if (CSYS_FAILED(status)) printf("worker %d failed: 0x%08x\n", id, (unsigned)status);
  return 0;
}

static int g_reportLines;

static int countReportLine(FILE* stream, const char* format, va_list args) {
  ++g_reportLines;
  return vfprintf(stream, format, args);
}

int main(void) {
  static const char* const kNames[WORKERS] = {"worker 1", "worker 2", "worker 3", "worker 4"};
  csys_thread threads[WORKERS];
  csys_threadCreateParams params;
  csys_printfAHooks hooks;
  csys_status shutdown;
  int32_t started = 0;
  int32_t i;
  csys_threadCreateParams_init(&params);
  for (i = 0; i < WORKERS; ++i) {
    csys_thread_construct(&threads[i]);
    params.name = kNames[i]; /* kept, not copied */
    if (!CSYS_FAILED(csys_thread_create(work, (void*)(intptr_t)(i + 1), &params, &threads[i]))) {
      ++started;
    }
  }
  for (i = 0; i < WORKERS; ++i) {
    csys_thread_waitForTermination(&threads[i]); /* an empty handle returns at once */
    csys_thread_destruct(&threads[i]);
  }
  /* Each worker adds id * (1 + ... + 1000) = id * 500500. */
  printf("%d workers, total %lld (expected %lld), thread cleanups run: %d\n", started,
         (long long)g_total, 500500LL * (1 + 2 + 3 + 4), g_cleanupsRun);

  /* Shutdown tears the library down and prints the leak reports, empty here. */
  csys_printfAHooks_init(&hooks);
  hooks.printHook = countReportLine;
  csys_printfASetHooks(&hooks);
  shutdown = csys_shutdown();
  printf("shutdown 0x%08x, leak report lines: %d\n", (unsigned)shutdown, g_reportLines);
  return started == WORKERS && g_total == 500500LL * 10 && g_cleanupsRun == WORKERS &&
                 shutdown == CSYS_OK && g_reportLines == 0
             ? 0
             : 1;
}
