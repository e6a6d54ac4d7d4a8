// Cleanup frames: running a frame's entries, removing one early, and tag tracking. Executed
// tags are kept as sorted, disjoint, non-adjacent intervals, so frames that finish in order
// collapse into one pair; a tag issued but never logged is a cleanup leak.
#include <atomic>

#include "cleanup/cleanup_internal.h"
#include "cleanup/lock_users_internal.h"
#include "csys_cleanup.h"
#include "csys_memory.h"
#include "csys_print.h"
#include "csys_shutdown.h"
#include "csys_sync.h"
#include "diag/check.h"

namespace {

struct Interval {
  int32_t lo;
  int32_t hi;
};

constexpr int32_t kLastTag = 0x7FFFFFFF;
constexpr uint32_t kKindMask = 0x0Fu;
constexpr uint32_t kEmptiedId = 0xFFFFFFFFu;

int32_t g_tagCounter = -1;
std::atomic<int32_t> g_enabled{1};
std::atomic<int32_t> g_reportAtShutdown{1};
std::atomic<int32_t> g_shutDown{0};
Interval* g_intervals = nullptr;
int32_t g_intervalCount = 0;
csys_criticalSection g_lock{};
LockUsers g_lockUsers;
int32_t g_lockOnce = 0;

int32_t g_numCleanupZero = 0;

uint32_t maskFor(csys_status status) {
  return CSYS_FAILED(status) ? CSYS_CLEANUP_RUN_ON_FAILURE : CSYS_CLEANUP_RUN_ON_SUCCESS;
}

// Runs one entry if it is armed for `mask`, then disarms it. Returns the call's status (0 if
// nothing was called).
csys_status runEntry(csys_cleanupEntry& entry, uint32_t mask) {
  const uint32_t kind = entry.flags & kKindMask;
  CSYS_CHECK(entry.flags == 0 || kind == CSYS_CLEANUP_CALL_VAR || kind == CSYS_CLEANUP_CALL_OBJ ||
             kind == CSYS_CLEANUP_CALL_ENTRY || kind == CSYS_CLEANUP_CALL_NOARG);
  csys_status result = CSYS_OK;
  if ((entry.flags & mask) != 0 && kind != 0 && entry.func != nullptr) {
    // Each kind's function is called with its own signature.
    using VariableFunc = csys_status (*)(void**);
    const auto generic = reinterpret_cast<void (*)()>(entry.func);
    switch (kind) {
      case CSYS_CLEANUP_CALL_VAR:
        result = reinterpret_cast<VariableFunc>(generic)(static_cast<void**>(entry.object));
        break;
      case CSYS_CLEANUP_CALL_OBJ:
        result = entry.func(entry.object);
        break;
      case CSYS_CLEANUP_CALL_ENTRY:
        result = reinterpret_cast<VariableFunc>(generic)(&entry.object);
        break;
      case CSYS_CLEANUP_CALL_NOARG:
        result = reinterpret_cast<csys_status (*)()>(generic)();
        break;
      default:
        break;
    }
  }
  entry.flags = 0;
  return result;
}

csys_status shutdownTracking(void* /*context*/);

// A failed registration destroys the lock again, since the next attempt builds a new one.
csys_status constructLock(void* /*context*/) {
  CleanupFrame<1> frame{UntrackedFrame{}};
  if (frame.call(csys_criticalSection_construct(&g_lock))) {
    frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ON_FAILURE, &g_lock,
              csys_criticalSection_destruct);
    frame.call(csys_shutdown_register(shutdownTracking, nullptr));
  }
  return frame.close();
}

bool shutDown() {
  return g_shutDown.load(std::memory_order_acquire) != 0;
}

// Creates the lock on first use and enters it. Once shut down the lock is not entered (it may
// be gone): callers see shutDown() and skip their work.
csys_status lock() {
  g_lockUsers.arrive();
  if (shutDown()) return CSYS_OK;
  csys_status status = csys_initializeOnce(constructLock, nullptr, &g_lockOnce);
  int32_t acquired = 0;
  if (CSYS_SUCCEEDED(status)) status = csys_criticalSection_wait(&g_lock, &acquired);
  CSYS_CHECK(CSYS_FAILED(status) || acquired == 1);
  if (CSYS_FAILED(status)) {
    g_lockUsers.depart();
  } else if (shutDown()) {
    // Shut down while this thread waited: leave at once, as if it had come later.
    status = csys_criticalSection_release(&g_lock);
    if (CSYS_FAILED(status)) g_lockUsers.depart();
  }
  return status;
}

csys_status unlock() {
  const csys_status status = shutDown() ? CSYS_OK : csys_criticalSection_release(&g_lock);
  g_lockUsers.depart();
  return status;
}

csys_status resize(int32_t count) {
  void* block = g_intervals;
  CSYS_RETURN_IF_FAILED(
      csys_memory_realloc_internal(static_cast<intptr_t>(count * sizeof(Interval)), &block));
  g_intervals = static_cast<Interval*>(block);
  return CSYS_OK;
}

// Removes interval `index`, closing the gap.
void removeInterval(int32_t index) {
  for (int32_t j = index; j + 1 < g_intervalCount; ++j) g_intervals[j] = g_intervals[j + 1];
  --g_intervalCount;
}

csys_status insertAt(int32_t index, int32_t tag) {
  CSYS_RETURN_IF_FAILED(resize(g_intervalCount + 1));
  for (int32_t j = g_intervalCount; j > index; --j) g_intervals[j] = g_intervals[j - 1];
  g_intervals[index] = Interval{tag, tag};
  ++g_intervalCount;
  return CSYS_OK;
}

csys_status insertTag(int32_t tag) {
  if (g_intervals == nullptr) {
    CSYS_RETURN_IF_FAILED(resize(1));
    g_intervals[0] = Interval{tag, tag};
    g_intervalCount = 1;
    return CSYS_OK;
  }
  for (int32_t i = 0; i < g_intervalCount; ++i) {
    Interval& interval = g_intervals[i];
    // 64-bit arithmetic: lo - 1 and hi + 1 must not overflow at the ends of the range.
    const int64_t lo = interval.lo;
    const int64_t hi = interval.hi;
    if (tag < lo - 1) return insertAt(i, tag);
    // The interval before ended below tag - 1, or it would have taken the tag already.
    if (tag == lo - 1) {
      interval.lo = tag;
      return CSYS_OK;
    }
    if (tag == hi + 1) {
      interval.hi = tag;
      if (i < g_intervalCount - 1 && g_intervals[i + 1].lo == static_cast<int64_t>(tag) + 1) {
        interval.hi = g_intervals[i + 1].hi;
        removeInterval(i + 1);
      }
      return CSYS_OK;
    }
    if (tag >= lo && tag <= hi) return CSYS_OK;
  }
  return insertAt(g_intervalCount, tag);
}

int32_t reportGaps(bool print) {
  CSYS_CHECK(g_intervalCount >= 0);
  int64_t previousHi = -1;
  int32_t total = 0;
  const int64_t nextTag = static_cast<int64_t>(std::atomic_ref<int32_t>(g_tagCounter).load()) + 1;
  for (int32_t i = 0; i <= g_intervalCount; ++i) {
    const int64_t lo = i < g_intervalCount ? g_intervals[i].lo : nextTag;
    const int64_t gap = lo - (previousHi + 1);
    CSYS_CHECK(gap >= 0);
    if (gap > 0) {
      if (print) {
        csys_printfA(total == 0 ? "Detected cleanup leaks!\nDumping tags ->\n{" : ", ");
        if (gap > 1) {
          csys_printfA("C%d-%d", static_cast<int>(previousHi + 1), static_cast<int>(lo - 1));
        } else {
          csys_printfA("C%d", static_cast<int>(previousHi + 1));
        }
      }
      total += static_cast<int32_t>(gap);
    }
    if (i < g_intervalCount) previousHi = g_intervals[i].hi;
  }
  if (total > 0 && print) csys_printfA("}\n Data: End of cleanup leaks\n");
  return total;
}

csys_status shutdownTracking(void* /*context*/) {
  if (g_reportAtShutdown.load(std::memory_order_relaxed) != 0) {
    int32_t leaks = 0;
    int32_t valid = 0;
    CSYS_RETURN_IF_FAILED(csys_cleanupReportLeaks(1, &leaks, &valid));
  }
  CSYS_RETURN_IF_FAILED(lock());
  g_shutDown.store(1, std::memory_order_release);
  g_intervalCount = 0;
  void* block = g_intervals;
  g_intervals = nullptr;
  const csys_status freed = csys_memory_free_internal(&block);
  const csys_status released = csys_criticalSection_release(&g_lock);
  g_lockUsers.depart();
  // Threads ending at this moment may still be on their way into the lock.
  g_lockUsers.awaitDeparture();
  const csys_status destroyed = csys_criticalSection_destruct(&g_lock);
  return csys_firstFailure(freed, csys_firstFailure(released, destroyed));
}

}  // namespace

extern "C" {

CSYS_API int32_t* _pm_numCleanup = &g_numCleanupZero;

CSYS_API int32_t csys_cleanup_getNextTag(void) {
  std::atomic_ref<int32_t> counter(g_tagCounter);
  int32_t tag = counter.load();
  if (shutDown()) return tag;
  // Saturates at the last tag: later frames share it rather than wrapping.
  while (tag != kLastTag && !counter.compare_exchange_weak(tag, tag + 1)) {
  }
  return tag == kLastTag ? kLastTag : tag + 1;
}

CSYS_API void csys_cleanupExecute_(csys_cleanupEntry* entries, int32_t* count, csys_status* status,
                                   int32_t tag) {
  CSYS_CHECK(entries != nullptr && count != nullptr && status != nullptr);
  if (count == nullptr || status == nullptr) return;
  const int32_t n = *count;
  *count = -1;  // the frame is closed
  CSYS_CHECK(n >= 0);
  // The tag is logged before the entries run, not after: a failed log must turn the frame into
  // a failure while its release-on-failure entries can still take back what its success path
  // was about to hand over. A report taken from inside an entry thus does not list this frame:
  // it is closed by then. The untracked tag logs nothing and cannot fail.
  const csys_status logged = csys_cleanup_logExecute(tag);
  csys_mergeStatus(status, logged);
  const uint32_t mask = maskFor(*status);
  csys_status result = CSYS_OK;
  for (int32_t i = n - 1; i >= 0 && entries != nullptr; --i) {
    result = runEntry(entries[i], mask);
    if (CSYS_FAILED(result)) break;  // older entries stay unrun
  }
  csys_mergeStatus(status, result);
  csys_mergeStatus(status, logged);  // a frame that succeeds ends with the log's status
}

CSYS_API void csys_cleanup_doId_(csys_cleanupEntry* entries, int32_t* count, csys_status* status,
                                 uint32_t id, int32_t run) {
  CSYS_CHECK(entries != nullptr && count != nullptr && status != nullptr);
  if (entries == nullptr || count == nullptr || status == nullptr) return;
  CSYS_CHECK(*count >= 0);
  int32_t index = *count - 1;
  while (index >= 0 && entries[index].id != id) --index;
  CSYS_CHECK(index >= 0);
  if (index < 0) return;
  if (run != 0) {
    const csys_status result = runEntry(entries[index], maskFor(*status));
    csys_mergeStatus(status, result);
  }
  for (int32_t j = index; j + 1 < *count; ++j) entries[j] = entries[j + 1];
  entries[*count - 1].id = kEmptiedId;
  entries[*count - 1].flags = 0;
  --*count;
}

CSYS_API csys_status csys_cleanup_logExecute(int32_t tag) {
  if (shutDown() || g_enabled.load(std::memory_order_relaxed) == 0) return CSYS_OK;
  if (tag == CSYS_CLEANUP_UNTRACKED_TAG) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  CSYS_CHECK(g_intervalCount >= 0);
  const csys_status inserted = shutDown() ? CSYS_OK : insertTag(tag);
  return csys_firstFailure(inserted, unlock());
}

CSYS_API csys_status csys_cleanupReportLeaks(int32_t print, int32_t* leakCount, int32_t* valid) {
  CSYS_CHECK(leakCount != nullptr && valid != nullptr);
  if (leakCount == nullptr || valid == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *leakCount = 0;
  *valid = 0;
  if (shutDown()) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  if (!shutDown()) {
    *leakCount = reportGaps(print != 0);
    *valid = 1;
  }
  return unlock();
}

CSYS_API csys_status csys_cleanupSetLeakTrackingEnabled(int32_t enable) {
  g_enabled.store(enable, std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_cleanupSetReportLeaksAtShutdown(int32_t enable) {
  g_reportAtShutdown.store(enable, std::memory_order_relaxed);
  return CSYS_OK;
}

}  // extern "C"
