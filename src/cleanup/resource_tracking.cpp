// Resource leak tracking: per (id, action) the running sum of what synchronization objects
// report, kept only while it is not zero, in 256 buckets hashed on the id's low byte. Guarded
// by a critical section that is itself excluded from tracking by its id.
#include <algorithm>
#include <atomic>
#include <cstdint>

#include "cleanup/lock_users_internal.h"
#include "cleanup/resource_tracking_internal.h"
#include "csys_memory.h"
#include "csys_print.h"
#include "csys_resource.h"
#include "csys_sync.h"
#include "diag/check.h"
#include "os/os.h"

namespace {

struct Record {
  csys_resourceId rid;
  uint32_t actionType;
  int32_t count;
};

struct Bucket {
  int32_t count;
  Record* records;
  int32_t capacity;
};

constexpr int32_t kBuckets = 256;
constexpr int32_t kInitialCapacity = 4;
constexpr int32_t kLastId = 0x7FFFFFFF;

int32_t g_idCounter = -1;
std::atomic<int32_t> g_reportAtShutdown{1};
csys_criticalSection g_lock{};
LockUsers g_lockUsers;
Bucket* g_table = nullptr;

Bucket& bucketOf(int32_t id) {
  return g_table[static_cast<uint32_t>(id) & (kBuckets - 1)];
}

// Newest first: the objects created last are the ones most likely asked about.
Record* find(Bucket& bucket, int32_t id, uint32_t actionType) {
  for (int32_t i = bucket.count - 1; i >= 0; --i) {
    Record& record = bucket.records[i];
    if (record.rid.id == id && record.actionType == actionType) return &record;
  }
  return nullptr;
}

bool hasState(int32_t bit) {
  return (csys_resourceTracking_state.load(std::memory_order_acquire) & bit) != 0;
}
bool initialized() {
  return hasState(CSYS_RESOURCE_TRACKING_INITIALIZED);
}
bool shutDown() {
  return hasState(CSYS_RESOURCE_TRACKING_SHUT_DOWN);
}

bool excluded(const csys_resourceId* rid) {
  return !csys_resourceTracking_isLive() || rid->id == g_lock.resourceId.id;
}

// The tracking lock is excluded from tracking, so it is entered directly rather than through
// the wrapper's report that would only be discarded. Once shut down the lock is not entered
// (it may be gone): callers see shutDown() and skip their work.
csys_status lock() {
  g_lockUsers.arrive();
  if (shutDown()) return CSYS_OK;
  CSYS_CHECK(initialized() && g_lock.os != nullptr);
  if (g_lock.os == nullptr) {
    g_lockUsers.depart();
    return CSYS_E_INVALID_ARGUMENT;
  }
  os_criticalSectionEnter(g_lock.os);
  // Shut down while this thread waited: leave at once, as if it had come later.
  if (shutDown()) os_criticalSectionLeave(g_lock.os);
  return CSYS_OK;
}

csys_status unlock() {
  if (!shutDown()) os_criticalSectionLeave(g_lock.os);
  g_lockUsers.depart();
  return CSYS_OK;
}

csys_status add(const csys_resourceId* rid, uint32_t actionType, int32_t delta) {
  Bucket& bucket = bucketOf(rid->id);
  if (Record* record = find(bucket, rid->id, actionType)) {
    record->count += delta;
    if (record->count == 0) {
      Record* const end = bucket.records + bucket.count;
      for (Record* next = record + 1; next != end; ++next) next[-1] = *next;  // close the gap
      --bucket.count;
    }
    return CSYS_OK;
  }
  if (bucket.count == bucket.capacity) {
    const int32_t capacity = std::max(bucket.count + 1, 2 * bucket.capacity);
    void* records = bucket.records;
    CSYS_RETURN_IF_FAILED(
        csys_memory_realloc_internal(static_cast<intptr_t>(capacity * sizeof(Record)), &records));
    bucket.records = static_cast<Record*>(records);
    bucket.capacity = capacity;
  }
  CSYS_CHECK(bucket.count < bucket.capacity);
  bucket.records[bucket.count++] = Record{*rid, actionType, delta};
  return CSYS_OK;
}

// Lists the records in ascending id order (ids 1 and 257 share a bucket, so a bucket's own
// order is not enough). Quadratic, and fine for a diagnostic.
int32_t dump(bool print) {
  int32_t total = 0;
  int64_t previous = INT64_MIN;
  for (;;) {
    int64_t smallest = INT64_MAX;
    for (int32_t b = 0; b < kBuckets; ++b) {
      for (int32_t i = 0; i < g_table[b].count; ++i) {
        const int32_t id = g_table[b].records[i].rid.id;
        CSYS_CHECK(&bucketOf(id) == &g_table[b]);
        if (id > previous && id < smallest) smallest = id;
      }
    }
    if (smallest == INT64_MAX) break;
    const Bucket& bucket = bucketOf(static_cast<int32_t>(smallest));
    for (int32_t i = 0; i < bucket.count; ++i) {
      const Record& record = bucket.records[i];
      if (record.rid.id != smallest) continue;
      CSYS_CHECK(record.count != 0);
      if (print && total == 0) {
        csys_printfA("Detected resource leaks/errors!\n");
        csys_printfA("  ActionTypes: 0=constructOrDestruct\n");
        csys_printfA("               1=waitOrRelease\n");
        csys_printfA("               2=destructWhileLocked\n");
        csys_printfA("Dumping IDs ->\n");
      }
      if (print) {
        csys_printfA("  {ResourceID %d Name: %s ActionType: %d  Count: %d}\n", record.rid.id,
                     record.rid.name != nullptr ? record.rid.name : "none",
                     static_cast<int>(record.actionType), record.count);
      }
      ++total;
    }
    previous = smallest;
  }
  if (print && total % 2 == 1) csys_printfA("\n");
  return total;
}

csys_status freeTable() {
  if (g_table == nullptr) return CSYS_OK;
  for (int32_t b = 0; b < kBuckets; ++b) {
    void* records = g_table[b].records;
    CSYS_RETURN_IF_FAILED(csys_memory_free_internal(&records));
    g_table[b].records = nullptr;
  }
  void* table = g_table;
  g_table = nullptr;
  return csys_memory_free_internal(&table);
}

}  // namespace

std::atomic<int32_t> csys_resourceTracking_state{CSYS_RESOURCE_TRACKING_ENABLED};

csys_status csys_resourceTracking_init() {
  CSYS_RETURN_IF_FAILED(csys_criticalSection_construct(&g_lock));
  void* table = nullptr;
  csys_status status =
      csys_memory_allocClear_internal(static_cast<intptr_t>(kBuckets * sizeof(Bucket)), &table);
  g_table = static_cast<Bucket*>(table);
  for (int32_t b = 0; b < kBuckets && CSYS_SUCCEEDED(status); ++b) {
    void* records = nullptr;
    status = csys_memory_alloc_internal(static_cast<intptr_t>(kInitialCapacity * sizeof(Record)),
                                        &records);
    g_table[b] = Bucket{0, static_cast<Record*>(records), CSYS_FAILED(status) ? 0 : 4};
  }
  if (CSYS_FAILED(status)) {
    freeTable();
    csys_criticalSection_destruct(&g_lock);
    return status;
  }
  csys_resourceTracking_state.fetch_or(CSYS_RESOURCE_TRACKING_INITIALIZED,
                                       std::memory_order_release);
  return status;
}

csys_status csys_resourceTracking_shutdown() {
  if (g_reportAtShutdown.load(std::memory_order_relaxed) != 0) {
    int32_t leaks = 0;
    int32_t valid = 0;
    CSYS_RETURN_IF_FAILED(csys_resourceReportLeaks(1, &leaks, &valid));
  }
  if (!initialized() || shutDown()) {
    csys_resourceTracking_state.fetch_or(CSYS_RESOURCE_TRACKING_SHUT_DOWN,
                                         std::memory_order_release);
    return CSYS_OK;
  }
  CSYS_RETURN_IF_FAILED(lock());
  csys_resourceTracking_state.fetch_or(CSYS_RESOURCE_TRACKING_SHUT_DOWN, std::memory_order_release);
  const csys_status freed = freeTable();
  const csys_status released = csys_criticalSection_release(&g_lock);
  g_lockUsers.depart();
  // Threads ending at this moment may still be on their way into the lock.
  g_lockUsers.awaitDeparture();
  const csys_status destroyed = csys_criticalSection_destruct(&g_lock);
  return csys_firstFailure(freed, csys_firstFailure(released, destroyed));
}

extern "C" {

CSYS_API csys_status csys_resourceId_init(csys_resourceId* rid, const char* name) {
  CSYS_CHECK(rid != nullptr);
  if (rid == nullptr) return CSYS_E_INVALID_ARGUMENT;
  std::atomic_ref<int32_t> counter(g_idCounter);
  int32_t id = counter.load();
  if (!shutDown()) {
    // Saturates at the last id: later objects share it rather than wrapping to negatives.
    while (id != kLastId && !counter.compare_exchange_weak(id, id + 1)) {
    }
    if (id != kLastId) ++id;
  }
  rid->id = id;
  rid->name = name;
  return CSYS_OK;
}

CSYS_API csys_status csys_resourceId_logAction(const csys_resourceId* rid, uint32_t actionType,
                                               int32_t delta) {
  CSYS_CHECK(rid != nullptr);
  if (rid == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (delta == 0 || excluded(rid)) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  csys_status status = CSYS_OK;
  if (!shutDown()) status = add(rid, actionType, delta);
  return csys_firstFailure(status, unlock());
}

CSYS_API csys_status csys_resourceId_getCount(const csys_resourceId* rid, uint32_t actionType,
                                              int32_t* count) {
  CSYS_CHECK(rid != nullptr && count != nullptr);
  if (rid == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *count = 0;
  if (excluded(rid)) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  if (!shutDown()) {
    if (const Record* record = find(bucketOf(rid->id), rid->id, actionType)) {
      *count = record->count;
    }
  }
  return unlock();
}

CSYS_API csys_status csys_resourceReportLeaks(int32_t print, int32_t* leakCount, int32_t* valid) {
  CSYS_CHECK(leakCount != nullptr && valid != nullptr);
  if (leakCount == nullptr || valid == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *leakCount = 0;
  *valid = 0;
  if (shutDown() || !initialized()) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  if (!shutDown()) {
    *leakCount = dump(print != 0);
    *valid = 1;
  }
  return unlock();
}

CSYS_API csys_status csys_resourceSetLeakTrackingEnabled(int32_t enable) {
  if (enable != 0) {
    csys_resourceTracking_state.fetch_or(CSYS_RESOURCE_TRACKING_ENABLED, std::memory_order_release);
  } else {
    csys_resourceTracking_state.fetch_and(~CSYS_RESOURCE_TRACKING_ENABLED,
                                          std::memory_order_release);
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_resourceSetReportLeaksAtShutdown(int32_t enable) {
  g_reportAtShutdown.store(enable, std::memory_order_relaxed);
  return CSYS_OK;
}

}  // extern "C"
