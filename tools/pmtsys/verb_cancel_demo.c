/* pmtsys cancel-demo: workers deep in a long computation are stopped by a time-out or by a
 * cancel; each unwinds frame by frame with the stopping status, and the leak reports printed at
 * shutdown stay empty. */
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "cli.h"
#include "pmtsys.h"

#define VERB "cancel-demo"
#define MAX_WORKERS 64
#define DEPTH 3 /* nested frames, each holding a block */
/* The status a cancel asks for: any failure code of the caller's choice. */
#define CANCELLED CSYS_STATUS(0x80004001u)

enum { OPT_TIMEOUT, OPT_CANCEL_AFTER, OPT_WORKERS };
static const cli_option kOptions[] = {
    {0, "timeout", 1}, {0, "cancel-after", 1}, {0, "workers", 1}, {0, NULL, 0}};

static const char kHelp[] =
    "Usage: pmtsys cancel-demo [--timeout MS] [--cancel-after MS] [--workers N]\n"
    "Start N workers (default 2) on a long computation that calls the attention check as it\n"
    "goes, nested three cleanup frames deep. Workers 1, 3, ... get a time-out of MS\n"
    "milliseconds (default 100); the main thread cancels workers 2, 4, ... after MS\n"
    "milliseconds (default 200). Each worker unwinds with the stopping status, freeing what\n"
    "its frames hold; the command prints each worker's status, how long the check took to\n"
    "notice the stop and how long the unwinding took, then the leak reports of shutdown.\n"
    "\n"
    "      --timeout MS       time-out of the odd-numbered workers\n"
    "      --cancel-after MS  when the even-numbered workers are cancelled\n"
    "      --workers N        number of workers, 1 to 64\n"
    "      --help             display this help and exit\n"
    "Exit status: 0 every worker stopped as asked and nothing leaked, 1 otherwise, 2 bad usage.\n";

typedef struct worker {
  csys_thread thread;
  int started;
  int cancelled; /* stopped by a cancel, else by a time-out */
  csys_timerTicks stopAsked;
  csys_timerTicks noticed; /* when the check returned the failure */
  csys_timerTicks unwound; /* when the outermost frame had closed */
  csys_status status;
  uint64_t steps;
} worker;

static void addFreeEntry(csys_cleanupEntry* entry, void* variable) {
  entry->id = 0;
  entry->flags = CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ALWAYS;
  entry->object = variable;
  entry->func = (csys_cleanupFunc)(void (*)(void))csys_memory_free_internal;
}

/* One level of the computation: a block held in this level's frame, then the next level, or at
 * the bottom the loop that works and checks for attention. */
static csys_status compute(worker* self, int level) {
  csys_cleanupEntry entries[1];
  int32_t count = 0;
  const int32_t tag = csys_cleanup_getNextTag();
  uint32_t* block = NULL;
  csys_status status = csys_memory_allocClear(4096, &block);
  if (!CSYS_FAILED(status)) {
    addFreeEntry(&entries[count++], &block);
    if (level + 1 < DEPTH) {
      status = compute(self, level + 1);
    } else {
      while (!CSYS_FAILED(status = csys_attention_check())) {
        block[self->steps % 1024] = block[(self->steps * 7) % 1024] * 31u + (uint32_t)self->steps;
        ++self->steps;
      }
      csys_timer_getRawSystemTicks(&self->noticed);
    }
  }
  csys_cleanupExecute_(entries, &count, &status, tag);
  return status;
}

static uint32_t runWorker(void* argument) {
  worker* self = (worker*)argument;
  self->status = compute(self, 0);
  csys_timer_getRawSystemTicks(&self->unwound);
  return 0;
}

static int g_reportLines;

/* The library's text during shutdown: the leak reports. */
static int showReportLine(FILE* stream, const char* format, va_list args) {
  (void)stream;
  ++g_reportLines;
  fputs("  | ", stdout);
  return vprintf(format, args);
}

static int parseCount(const char* value, uint32_t* out, uint32_t limit) {
  char* end = NULL;
  unsigned long long number;
  if (*value < '0' || *value > '9') return 0;
  number = strtoull(value, &end, 10);
  if (*end != '\0' || number > limit) return 0;
  *out = (uint32_t)number;
  return 1;
}

static double elapsedMs(const csys_timerTicks* from, const csys_timerTicks* to) {
  double ms = 0.0;
  csys_timerTicks_getElapsedMillisecondsDouble(from, to, &ms);
  return ms;
}

/* Starts the workers, attaches their time-outs at once and their cancels later, and waits for
 * them all. */
static csys_status runWorkers(worker* workers, uint32_t count, uint32_t timeoutMs,
                              uint32_t cancelAfterMs) {
  csys_status status = CSYS_OK;
  uint32_t i;
  for (i = 0; i < count && !CSYS_FAILED(status); ++i) {
    csys_attentionTag tag;
    worker* w = &workers[i];
    w->cancelled = i % 2 == 1;
    status = csys_thread_construct(&w->thread);
    if (CSYS_FAILED(status)) break;
    w->started = 1;
    status = csys_thread_create(runWorker, w, NULL, &w->thread);
    if (CSYS_FAILED(status) || w->cancelled) continue;
    csys_attentionTag_construct(&tag);
    csys_timer_getRawSystemTicks(&w->stopAsked);
    status = csys_attentionTag_attachTimeout(&tag, &w->thread, timeoutMs / 1000.0);
    csys_attentionTag_destruct(&tag); /* the entry stays attached */
  }
  if (!CSYS_FAILED(status) && count > 1) status = csys_sleep(cancelAfterMs / 1000.0);
  for (i = 1; i < count && !CSYS_FAILED(status); i += 2) {
    csys_attentionTag tag;
    csys_attentionTag_construct(&tag);
    csys_timer_getRawSystemTicks(&workers[i].stopAsked);
    status = csys_attentionTag_attachCancel(&tag, &workers[i].thread, CANCELLED);
    csys_attentionTag_destruct(&tag);
  }
  for (i = 0; i < count; ++i) {
    if (!workers[i].started) continue;
    csys_thread_waitForTermination(&workers[i].thread);
    csys_thread_destruct(&workers[i].thread);
  }
  return status;
}

static int report(const worker* workers, uint32_t count, uint32_t timeoutMs,
                  uint32_t cancelAfterMs) {
  int ok = 1;
  uint32_t i;
  for (i = 0; i < count; ++i) {
    const worker* w = &workers[i];
    const csys_status expected = w->cancelled ? CANCELLED : CSYS_E_TIMEOUT;
    /* A time-out fires at its deadline, a cancel at once. */
    const double late =
        elapsedMs(&w->stopAsked, &w->noticed) - (w->cancelled ? 0.0 : (double)timeoutMs);
    printf(
        "worker %u: %s %u ms: status 0x%08x (%s) after %llu steps; noticed %.3f ms late, "
        "unwound %d frames in %.3f ms\n",
        i + 1, w->cancelled ? "cancelled at" : "time-out of",
        w->cancelled ? cancelAfterMs : timeoutMs, (unsigned)w->status,
        w->status == CSYS_E_TIMEOUT ? "time-out"
        : w->status == CANCELLED    ? "cancel"
                                    : "?",
        (unsigned long long)w->steps, late < 0.0 ? 0.0 : late, DEPTH,
        elapsedMs(&w->noticed, &w->unwound));
    if (w->status != expected) ok = 0;
  }
  return ok;
}

int verb_cancel_demo(int argc, char** argv) {
  cli_parser parser;
  const char* value;
  uint32_t timeoutMs = 100;
  uint32_t cancelAfterMs = 200;
  uint32_t count = 2;
  static worker workers[MAX_WORKERS];
  csys_printfAHooks hooks;
  csys_status status;
  csys_status shutdown;
  int option;
  int ok;
  cli_parser_init(&parser, VERB, kHelp, argc, argv);
  while ((option = cli_next(&parser, kOptions, &value)) != CLI_END) {
    if (option == CLI_HELP) return cli_finish(VERB, NULL, CLI_EXIT_OK);
    if (option == CLI_OPERAND) return cli_usage(VERB, "extra operand '%s'", value);
    if (option == CLI_BAD) return CLI_EXIT_USAGE;
    if (option == OPT_WORKERS
            ? !parseCount(value, &count, MAX_WORKERS) || count == 0
            : !parseCount(value, option == OPT_TIMEOUT ? &timeoutMs : &cancelAfterMs, 86400000u)) {
      return cli_usage(VERB, "invalid %s: '%s'", kOptions[option].longName, value);
    }
  }
  memset(workers, 0, sizeof workers);
  status = runWorkers(workers, count, timeoutMs, cancelAfterMs);
  if (CSYS_FAILED(status)) return cli_failStatus(VERB, "starting or stopping the workers", status);
  ok = report(workers, count, timeoutMs, cancelAfterMs);

  printf("leak reports at shutdown:\n");
  fflush(stdout);
  csys_printfAHooks_init(&hooks);
  hooks.printHook = showReportLine;
  csys_printfASetHooks(&hooks);
  shutdown = csys_shutdown();
  printf("  %s (shutdown status 0x%08x)\n", g_reportLines == 0 ? "none: nothing leaked" : "LEAKS",
         (unsigned)shutdown);
  return cli_finish(
      VERB, NULL, ok && g_reportLines == 0 && shutdown == CSYS_OK ? CLI_EXIT_OK : CLI_EXIT_FAILURE);
}
