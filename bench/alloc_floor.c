/* The least an allocation behind this library's interface can cost: a call into another shared
 * library that stores the block in the caller's pointer variable, and a second call that frees
 * what the variable holds and sets it to null. No size checks, no status codes beyond success,
 * optionally one shared atomic count. bench_memory measures the library beside these. */
#include <stdatomic.h>
#include <stdint.h>
#include <stdlib.h>

#define FLOOR_API __attribute__((visibility("default")))

static _Atomic uint32_t g_requests;

FLOOR_API int32_t floor_alloc(intptr_t size, void** dest) {
  void* block = malloc((size_t)size);
  if (block == NULL) return -1;
  *dest = block;
  return 0;
}

FLOOR_API int32_t floor_allocCounted(intptr_t size, void** dest) {
  atomic_fetch_add_explicit(&g_requests, 1, memory_order_relaxed);
  return floor_alloc(size, dest);
}

FLOOR_API int32_t floor_free(void** dest) {
  free(*dest);
  *dest = NULL;
  return 0;
}
