/* Memory and cleanup frames: the shape of every operation that acquires something.
 *
 * Memory is allocated through the caller's own pointer variable (csys_memory_alloc(size, &p)),
 * and freed the same way, which sets the variable back to null. An operation opens a frame (an
 * array of entries on its stack and a tag), registers each thing right after acquiring it, and
 * closes the frame on its single exit: the entries run newest first, those marked "on failure"
 * only when the operation fails. So a failing operation leaves nothing allocated, and its caller
 * gets the callee's status unchanged. Copy makeGreeting as the pattern. */
#include <stdio.h>
#include <string.h>

#include "pmtsys.h"

/* An entry that frees the pointer variable at `variable` when the frame closes as `when` says. */
static void addFreeEntry(csys_cleanupEntry* entries, int32_t* count, void* variable,
                         uint32_t when) {
  entries[*count].id = (uint32_t)*count;
  entries[*count].flags = CSYS_CLEANUP_CALL_VAR | when;
  entries[*count].object = variable;
  entries[*count].func = (csys_cleanupFunc)(void (*)(void))csys_memory_free_internal;
  ++*count;
}

/* Builds "Hello, NAME!" in a new block for the caller, through a scratch buffer. On success the
 * caller owns *greeting and frees it with csys_memory_free; on failure *greeting is untouched
 * and nothing is left allocated. */
static csys_status makeGreeting(const char* name, char** greeting) {
  csys_cleanupEntry entries[2];
  int32_t count = 0;
  const int32_t tag = csys_cleanup_getNextTag();
  char* scratch = NULL;
  char* result = NULL;
  const intptr_t size = (intptr_t)strlen(name) + 9;
  csys_status status = csys_memory_alloc(size, &scratch);
  if (!CSYS_FAILED(status)) {
    addFreeEntry(entries, &count, &scratch, CSYS_CLEANUP_RUN_ALWAYS);
    status = csys_memory_alloc(size, &result);
  }
  if (!CSYS_FAILED(status)) {
    /* The result reaches the caller only on success: free it on failure alone. */
    addFreeEntry(entries, &count, &result, CSYS_CLEANUP_RUN_ON_FAILURE);
    snprintf(scratch, (size_t)size, "Hello, %s!", name);
    memcpy(result, scratch, (size_t)size);
    *greeting = result;
  }
  csys_cleanupExecute_(entries, &count, &status, tag); /* the one exit */
  return status;
}

int main(void) {
  char* greeting = NULL;
  int32_t leaks = 0;
  int32_t valid = 0;
  uint32_t failAt;
  csys_status status = makeGreeting("world", &greeting);
  if (CSYS_FAILED(status)) return 1;
  printf("%s\n", greeting);
  csys_memory_free(&greeting); /* greeting is null again */

  /* Simulated out-of-memory at the 1st, 2nd, ... request: each failure comes back as the
   * allocator's own status, and the frame gives back what was acquired before it. */
  for (failAt = 1;; ++failAt) {
    csys_memory_allocCountReset();
    csys_memory_allocCountSetOutOfMemory(failAt);
    status = makeGreeting("world", &greeting);
    csys_memory_allocCountSetOutOfMemory(0);
    if (!CSYS_FAILED(status)) break;
    printf("out of memory at request %u: status 0x%08x, greeting %s\n", failAt, (unsigned)status,
           greeting == NULL ? "null" : "SET");
    if (status != CSYS_E_OUT_OF_MEMORY || greeting != NULL) return 1;
  }
  printf("request %u: %s\n", failAt, greeting);
  csys_memory_free(&greeting);

  /* Every frame was closed: no cleanup leaks. */
  csys_cleanupReportLeaks(1, &leaks, &valid);
  printf("cleanup leaks: %d\n", leaks);
  return leaks == 0 ? 0 : 1;
}
