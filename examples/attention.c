/* Cooperative cancellation: two workers compute until something asks them to stop. The main
 * thread attaches a time-out to one and a cancel to the other; each worker's attention check
 * then returns that status, its cleanup frame frees what it holds, and the status reaches the
 * main thread unchanged. The leak reports printed at shutdown are empty. */
#include <stdarg.h>
#include <stdio.h>

#include "pmtsys.h"

#define CANCELLED_BY_USER CSYS_STATUS(0x80004001u)

typedef struct job {
  const char* name;
  csys_status status; /* how the computation ended */
  uint64_t steps;
} job;

static int g_reportLines;

/* Counts what the library prints, and shows it. */
static int countReportLine(FILE* stream, const char* format, va_list args) {
  ++g_reportLines;
  return vfprintf(stream, format, args);
}

/* One step of a long computation, deep inside a product. */
static void computeStep(uint32_t* buffer, uint64_t step) {
  for (uint32_t i = 0; i < 1024; ++i) buffer[i] = buffer[i] * 31u + (uint32_t)step;
}

/* The worker holds a buffer in a cleanup frame and checks for attention after every step. */
static uint32_t worker(void* argument) {
  job* work = (job*)argument;
  csys_cleanupEntry entries[1];
  int32_t count = 0;
  const int32_t tag = csys_cleanup_getNextTag();
  void* buffer = NULL;
  csys_status status = csys_memory_allocClear_internal(1024 * sizeof(uint32_t), &buffer);
  if (!CSYS_FAILED(status)) {
    const csys_cleanupEntry freeBuffer = {
        0, CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS, &buffer,
        (csys_cleanupFunc)(void (*)(void))csys_memory_free_internal};
    entries[count++] = freeBuffer;
    while (!CSYS_FAILED(status = csys_attention_check())) computeStep(buffer, work->steps++);
  }
  csys_cleanupExecute_(entries, &count, &status, tag);
  work->status = status;
  return 0;
}

static int startWorker(job* work, csys_thread* thread) {
  csys_status status = csys_thread_construct(thread);
  if (!CSYS_FAILED(status)) status = csys_thread_create(worker, work, NULL, thread);
  if (CSYS_FAILED(status)) printf("could not start %s: 0x%08x\n", work->name, (unsigned)status);
  return CSYS_FAILED(status) ? 0 : 1;
}

int main(void) {
  job timed = {"timed worker", CSYS_OK, 0};
  job cancelled = {"cancelled worker", CSYS_OK, 0};
  csys_thread threads[2];
  csys_attentionTag timeout, cancel;
  csys_printfAHooks hooks;
  csys_status shutdown;
  csys_timer timer;
  double seconds = 0.0;
  int ok = !CSYS_FAILED(csys_timer_init(&timer, 1)) && startWorker(&timed, &threads[0]) &&
           startWorker(&cancelled, &threads[1]);

  csys_attentionTag_construct(&timeout);
  csys_attentionTag_construct(&cancel);
  if (ok) {
    /* The time-out fires at the first check after 0.1 s; the cancel at the next check. */
    ok = !CSYS_FAILED(csys_attentionTag_attachTimeout(&timeout, &threads[0], 0.1)) &&
         !CSYS_FAILED(csys_sleep(0.05)) &&
         !CSYS_FAILED(csys_attentionTag_attachCancel(&cancel, &threads[1], CANCELLED_BY_USER));
    csys_thread_waitForTermination(&threads[0]);
    csys_thread_waitForTermination(&threads[1]);
    csys_timer_getSecondsDouble(&timer, &seconds);
    csys_thread_destruct(&threads[0]);
    csys_thread_destruct(&threads[1]);
  }
  csys_attentionTag_destruct(&timeout);
  csys_attentionTag_destruct(&cancel);

  printf("both workers ended within %.3f s\n", seconds);
  printf("%s stopped after %llu steps with 0x%08x (time-out is 0x%08x)\n", timed.name,
         (unsigned long long)timed.steps, (unsigned)timed.status, (unsigned)CSYS_E_TIMEOUT);
  printf("%s stopped after %llu steps with 0x%08x (cancel is 0x%08x)\n", cancelled.name,
         (unsigned long long)cancelled.steps, (unsigned)cancelled.status,
         (unsigned)CANCELLED_BY_USER);

  /* Shutdown prints the cleanup and resource leak reports; each says nothing when empty. */
  csys_printfAHooks_init(&hooks);
  hooks.printHook = countReportLine;
  csys_printfASetHooks(&hooks);
  shutdown = csys_shutdown();
  printf("shutdown 0x%08x, leak report lines: %d\n", (unsigned)shutdown, g_reportLines);
  return ok && timed.status == CSYS_E_TIMEOUT && cancelled.status == CANCELLED_BY_USER &&
                 shutdown == CSYS_OK && g_reportLines == 0
             ? 0
             : 1;
}
