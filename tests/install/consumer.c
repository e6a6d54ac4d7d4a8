/* A program that uses the installed library the way a new user would. */
#include <stdio.h>

#include "pmtsys.h"

int main(void) {
  void* block = NULL;
  const csys_status status = csys_memory_alloc(16, &block);
  csys_memory_free(&block);
  printf("%s\n", CSYS_FAILED(status) ? "failed" : "ok");
  return CSYS_FAILED(status) ? 1 : 0;
}
