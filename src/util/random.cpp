// The per-thread generator. Its state is a 4-byte block held as one of the thread's per-thread
// values, so it goes when the thread's values go. A thread-local pointer caches the block: after
// the first call a draw is one load of that pointer and the multiply-add.
#include "cmath_rand.h"
#include "csys_memory.h"
#include "csys_thread.h"
#include "diag/check.h"
#include "os/os.h"

namespace {

uint32_t g_randStateKey = 0xFFFFFFFFu;
int32_t g_randStateKeyOnce = 0;

// Failures here are programming errors: they are reported and the caller gets null.
uint32_t* threadState() {
  const bool keyed = CSYS_SUCCEEDED(csys_threadLocal_alloc(&g_randStateKey, &g_randStateKeyOnce));
  CSYS_CHECK(keyed);
  if (!keyed) return nullptr;
  uintptr_t value = 0;
  const bool read = CSYS_SUCCEEDED(csys_threadLocal_getValue(g_randStateKey, &value));
  CSYS_CHECK(read);
  if (!read) return nullptr;
  if (value != 0) return reinterpret_cast<uint32_t*>(value);
  void* block = nullptr;
  const bool allocated = CSYS_SUCCEEDED(csys_memory_alloc_internal(sizeof(uint32_t), &block));
  CSYS_CHECK(allocated);
  if (!allocated) return nullptr;
  const bool stored = CSYS_SUCCEEDED(csys_threadLocal_setValuePtr(
      g_randStateKey, reinterpret_cast<uintptr_t>(block), csys_memory_free_internal));
  CSYS_CHECK(stored);
  if (!stored) {
    csys_memory_free_internal(&block);
    return nullptr;
  }
  auto* state = static_cast<uint32_t*>(block);
  *state = 1;
  return state;
}

// The calling thread's block, cached. A thread cleanup clears the cache; the thread's cleanups
// run before its per-thread values are destroyed, so the cache never outlives the block.
thread_local uint32_t* t_state OS_TLS_INITIAL_EXEC = nullptr;

// Out of line: the first draw of a thread. A failed registration only leaves the block uncached.
[[gnu::noinline]] uint32_t* lookUpState() {
  uint32_t* state = threadState();
  const csys_threadCleanupFunc forget = [](void* /*unused*/) {
    t_state = nullptr;
    return CSYS_OK;
  };
  if (state != nullptr && CSYS_SUCCEEDED(csys_thread_cleanup_register(forget, nullptr))) {
    t_state = state;
  }
  return state;
}

uint32_t* currentState() {
  uint32_t* state = t_state;
  return state != nullptr ? state : lookUpState();
}

}  // namespace

extern "C" {

CSYS_API void cmath_srand(uint32_t seed) {
  uint32_t* state = currentState();
  if (state != nullptr) *state = seed;
}

CSYS_API int32_t cmath_rand(void) {
  uint32_t* state = currentState();
  if (state == nullptr) return -1;
  *state = *state * 214013u + 2531011u;
  return static_cast<int32_t>((*state >> 16) & 0x7FFFu);
}

}  // extern "C"
