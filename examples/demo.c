/* A tour of the library for a new user: allocation with accounting, a simulated out-of-memory
 * failure handled by its status, fills, atomics and sleep, the print output and an assertion
 * report. Plain C against the shared library and its public headers. */
#include <stdio.h>
#include <string.h>

#include "pmtsys.h"

static int g_printedLines;

/* A print hook: every line of the library's output passes through here. */
static int countingPrint(FILE* stream, const char* format, va_list args) {
  ++g_printedLines;
  fputs("  [print hook] ", stream);
  return vfprintf(stream, format, args);
}

static int g_initRuns;

static csys_status initOnce(void* context) {
  (void)context;
  ++g_initRuns;
  return CSYS_OK;
}

/* An operation in C with a cleanup frame: the block is freed unless it reaches the caller. */
static csys_status makeBuffer(int fail, void** result) {
  csys_cleanupEntry entries[1];
  int32_t count = 0;
  csys_status status = CSYS_OK;
  const int32_t tag = csys_cleanup_getNextTag();
  void* block = NULL;
  status = csys_memory_alloc(256, &block);
  if (!CSYS_FAILED(status)) {
    entries[count].id = 0;
    entries[count].flags = CSYS_CLEANUP_CALL_VAR | CSYS_CLEANUP_RUN_ON_FAILURE;
    entries[count].object = &block;
    entries[count].func = (csys_cleanupFunc)(void (*)(void))csys_memory_free_internal;
    ++count;
    if (fail) status = CSYS_E_INVALID_ARGUMENT; /* a later step fails */
    if (!CSYS_FAILED(status)) *result = block;
  }
  csys_cleanupExecute_(entries, &count, &status, tag);
  return status;
}

static csys_status fixedVersion(char* buffer) {
  strcpy(buffer, "Demo Product 1.0.0");
  return CSYS_OK;
}

int main(void) {
  uint32_t count = 0;
  unsigned char* block = NULL;
  csys_status status;

  printf("pmtsys demo\n\n1. Allocation through the caller's pointer variable\n");
  csys_memory_allocCountReset();
  status = csys_memory_allocClear(64, &block);
  printf("  allocClear(64)   -> status 0x%08x, block %s, first byte %d\n", (unsigned)status,
         block != NULL ? "set" : "null", block != NULL ? block[0] : -1);
  status = csys_memory_realloc(4096, &block);
  printf("  realloc(4096)    -> status 0x%08x, contents kept: %s\n", (unsigned)status,
         block != NULL && block[63] == 0 ? "yes" : "no");

  printf("\n2. Simulated out-of-memory at the 3rd request\n");
  csys_memory_allocCountReset();
  csys_memory_allocCountSetOutOfMemory(3);
  {
    void* blocks[4] = {NULL, NULL, NULL, NULL};
    int i;
    for (i = 0; i < 4; ++i) {
      status = csys_memory_alloc(128, &blocks[i]);
      printf("  alloc #%d         -> status 0x%08x%s\n", i + 1, (unsigned)status,
             CSYS_FAILED(status) ? " (failure handled: nothing allocated)" : "");
    }
    for (i = 0; i < 4; ++i) csys_memory_free(&blocks[i]);
  }
  csys_memory_allocCountGet(&count);
  csys_memory_allocCountSetOutOfMemory(0);
  printf("  requests counted: %u (failed ones included)\n", count);

  printf("\n3. Fills\n");
  {
    static const unsigned char pattern[3] = {1, 2, 3};
    unsigned char row[9];
    csys_memory_fillBlock(pattern, 3, 3, row);
    printf("  fillBlock {1,2,3} x3 -> %d %d %d %d %d %d %d %d %d\n", row[0], row[1], row[2], row[3],
           row[4], row[5], row[6], row[7], row[8]);
    status = csys_memory_fillRect(0, 8, 2, 4, row);
    printf("  fillRect with a stride shorter than a row -> status 0x%08x\n", (unsigned)status);
  }
  csys_memory_free(&block);

  printf("\n4. Atomics and sleep\n");
  {
    int32_t counter = 5;
    int32_t value = 0;
    csys_atomicIncrement(&counter, &value);
    printf("  increment 5 -> %d\n", value);
    status = csys_sleep(0.002);
    printf("  sleep(0.002) -> status 0x%08x; sleep(-1) -> status 0x%08x\n", (unsigned)status,
           (unsigned)csys_sleep(-1.0));
  }

  printf("\n5. Print output with a hook\n");
  {
    csys_printfAHooks hooks;
    csys_printfAHooks_init(&hooks);
    hooks.printHook = countingPrint;
    csys_printfASetHooks(&hooks);
    csys_printfA("hello from csys_printfA (%d)\n", 42);
    csys_printfASetHooks(NULL);
    printf("  lines through the hook: %d\n", g_printedLines);
  }

  printf("\n6. Synchronization with resource leak tracking\n");
  {
    csys_mutex* global = NULL;
    csys_criticalSection cs;
    csys_semaphore first, second;
    int32_t leaks = 0, valid = 0, acquired = 0;
    char name[64];
    csys_mutex_getGlobal(&global); /* the first use starts leak tracking */
    csys_criticalSection_construct(&cs);
    csys_criticalSection_wait(&cs, NULL);
    csys_criticalSection_wait(&cs, NULL);
    csys_criticalSection_release(&cs); /* entered twice, left once */
    csys_resourceReportLeaks(1, &leaks, &valid);
    printf("  leak records: %d\n", leaks);
    csys_criticalSection_release(&cs);
    csys_criticalSection_destruct(&cs);
    csys_resourceReportLeaks(0, &leaks, &valid);
    printf("  after balancing: %d (the global mutex and the shutdown registry's lock live on)\n",
           leaks);

    snprintf(name, sizeof name, "pmtsys.demo.%p", (void*)&cs);
    csys_semaphore_constructNamed(&first, name, 0, 0, 1);
    status = csys_semaphore_constructNamed(&second, name, 0, 0, 1);
    printf("  named semaphore again, existing refused -> status 0x%08x\n", (unsigned)status);
    csys_semaphore_constructNamed(&second, name, 1, 0, 1);
    printf("  named semaphore again, existing allowed -> created %u (one object)\n",
           (unsigned)second.created);
    csys_semaphore_release(&first);
    csys_semaphore_waitTimeout(&second, 100, &acquired);
    printf("  released through one handle, acquired through the other: %d\n", acquired);
    csys_semaphore_destruct(&first);
    csys_semaphore_destruct(&second);
  }

  printf("\n7. Once-initialization and a cleanup frame\n");
  {
    int32_t flag = 0, leaks = 0, valid = 0;
    void* buffer = NULL;
    csys_initializeOnce(initOnce, NULL, &flag);
    csys_initializeOnce(initOnce, NULL, &flag);
    printf("  two calls, init ran %d time(s)\n", g_initRuns);
    csys_memory_allocCountReset();
    status = makeBuffer(1, &buffer);
    printf("  failing operation -> status 0x%08x, buffer %s\n", (unsigned)status,
           buffer != NULL ? "leaked" : "released by its frame");
    status = makeBuffer(0, &buffer);
    printf("  succeeding operation -> status 0x%08x, buffer %s\n", (unsigned)status,
           buffer != NULL ? "handed to the caller" : "missing");
    csys_memory_free(&buffer);
    (void)csys_cleanup_getNextTag(); /* a frame opened and never closed */
    csys_cleanupReportLeaks(1, &leaks, &valid);
  }

  printf("\n8. An assertion report (reported on standard error, then execution goes on)\n");
  fflush(stdout);
  cstd_assert_(__LINE__);
  cstd_installAssertGetVersionAFunc_(fixedVersion);
  cstd_assert_(__LINE__);
  cstd_installAssertGetVersionAFunc_(NULL);
  printf("  still running after both reports\n");
  return 0;
}
