// Resource leak tracking: per (id, action) the running sum of what synchronization objects
// report, kept only while it is not zero, in 256 buckets hashed on the id's low byte, except
// the hold counts of library locks, which live in slots their holders change without a lock
// (resource_tracking_internal.h). Each bucket has a light lock of its own, which also guards
// the claiming and freeing of the slots of its ids, so objects in different buckets never wait
// for each other. A critical section, itself excluded from tracking by its id, serializes the
// report and the teardown; the report also holds every bucket lock while it lists.
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
  uint64_t birth;  // orders it among the records of its id in a slot
};

struct Bucket {
  int32_t count;
  Record* records;
  int32_t capacity;
};

constexpr int32_t kBuckets = 256;
constexpr int32_t kInitialCapacity = 4;
constexpr int32_t kLastId = 0x7FFFFFFF;

// A bucket's lock: taken with one exchange, given back with one store. It is held for a few
// instructions, so a waiter gives up its time slice rather than spin. Each sits on a cache line
// of its own, outside the table, so that a late reporter never waits on freed memory.
// Set while this thread holds every bucket lock to list the records.
thread_local bool t_listing = false;

class alignas(64) BucketLock {
 public:
  // False when this thread is listing and so holds the lock already: a print hook may use the
  // library's locks, and their counting must not wait for the report that called the hook.
  bool lock() {
    while (held_.exchange(1, std::memory_order_acquire) != 0) {
      if (t_listing) return false;
      while (held_.load(std::memory_order_relaxed) != 0) os_yield();
    }
    return true;
  }
  void unlock() { held_.store(0, std::memory_order_release); }

 private:
  std::atomic<int32_t> held_{0};
};

BucketLock g_bucketLocks[kBuckets];

BucketLock& lockOf(int32_t id) {
  return g_bucketLocks[static_cast<uint32_t>(id) & (kBuckets - 1)];
}

class BucketGuard {
 public:
  explicit BucketGuard(BucketLock& lock) : lock_(lock), taken_(lock.lock()) {}
  ~BucketGuard() {
    if (taken_) lock_.unlock();
  }
  BucketGuard(const BucketGuard&) = delete;
  BucketGuard& operator=(const BucketGuard&) = delete;

 private:
  BucketLock& lock_;
  const bool taken_;
};

int32_t g_idCounter = -1;
std::atomic<int32_t> g_reportAtShutdown{1};
csys_criticalSection g_lock{};
LockUsers g_lockUsers;
Bucket* g_table = nullptr;

Bucket& bucketOf(int32_t id) {
  return g_table[static_cast<uint32_t>(id) & (kBuckets - 1)];
}

csys_holdSlot& slotAt(int32_t id) {
  return csys_resourceTracking_holdSlots[static_cast<uint32_t>(id) & (CSYS_HOLD_SLOTS - 1)];
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
  if (csys_holdSlot* slot = csys_resourceTracking_slotOf(rid->id)) {
    if (actionType == CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE) {
      // Counted outside the holder's own path (a caller's log on a library lock): no holder.
      csys_resourceTracking_slotAdd(*slot, delta, nullptr);
      return CSYS_OK;
    }
    // The lock is destroyed with nothing held: its slot goes to the next id that needs one.
    if (actionType == CSYS_RESOURCE_ACTION_CONSTRUCT_OR_DESTRUCT && delta < 0 &&
        slot->count.load(std::memory_order_relaxed) == 0) {
      slot->id.store(CSYS_HOLD_SLOT_FREE, std::memory_order_relaxed);
    }
  }
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
  bucket.records[bucket.count++] =
      Record{*rid, actionType, delta,
             csys_resourceTracking_births.fetch_add(1, std::memory_order_relaxed)};
  return CSYS_OK;
}

// A slot's hold count as a record, if it has one.
bool slotRecord(const csys_holdSlot& slot, Record* record) {
  const int32_t id = slot.id.load(std::memory_order_relaxed);
  const int32_t count = slot.count.load(std::memory_order_relaxed);
  if (id == CSYS_HOLD_SLOT_FREE || count == 0) return false;
  *record = Record{{id, slot.name},
                   CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE,
                   count,
                   slot.birth.load(std::memory_order_relaxed)};
  return true;
}

void list(bool print, int32_t* total, const Record& record) {
  if (print && *total == 0) {
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
  ++*total;
}

// Lists the records in ascending id order (ids 1 and 257 share a bucket, so a bucket's own
// order is not enough); a hold count from a slot goes before the records of its id born after
// it. Quadratic, and fine for a diagnostic.
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
    Record held{};
    for (const csys_holdSlot& slot : csys_resourceTracking_holdSlots) {
      if (slotRecord(slot, &held) && held.rid.id > previous && held.rid.id < smallest) {
        smallest = held.rid.id;
      }
    }
    if (smallest == INT64_MAX) break;
    const auto id = static_cast<int32_t>(smallest);
    bool heldPending = slotRecord(slotAt(id), &held) && held.rid.id == id;
    const Bucket& bucket = bucketOf(id);
    for (int32_t i = 0; i < bucket.count; ++i) {
      const Record& record = bucket.records[i];
      if (record.rid.id != id) continue;
      CSYS_CHECK(record.count != 0);
      if (heldPending && held.birth <= record.birth) {
        list(print, &total, held);
        heldPending = false;
      }
      list(print, &total, record);
    }
    if (heldPending) list(print, &total, held);
    previous = smallest;
  }
  if (print && total % 2 == 1) csys_printfA("\n");
  return total;
}

// Counting may still run in a bucket: each array goes under its bucket's lock.
csys_status freeTable() {
  if (g_table == nullptr) return CSYS_OK;
  for (int32_t b = 0; b < kBuckets; ++b) {
    const BucketGuard guard(g_bucketLocks[b]);
    void* records = g_table[b].records;
    CSYS_RETURN_IF_FAILED(csys_memory_free_internal(&records));
    g_table[b] = Bucket{0, nullptr, 0};
  }
  void* table = g_table;
  g_table = nullptr;
  return csys_memory_free_internal(&table);
}

}  // namespace

std::atomic<int32_t> csys_resourceTracking_state{CSYS_RESOURCE_TRACKING_ENABLED};
csys_holdSlot csys_resourceTracking_holdSlots[CSYS_HOLD_SLOTS];
alignas(64) std::atomic<uint64_t> csys_resourceTracking_births{0};
constinit thread_local char csys_resourceTracking_self OS_TLS_INITIAL_EXEC = 0;

csys_status csys_resourceTracking_acquiredSlow(const csys_resourceId* rid) {
  if (excluded(rid)) return CSYS_OK;
  const BucketGuard guard(lockOf(rid->id));
  if (shutDown()) return CSYS_OK;
  csys_holdSlot& slot = slotAt(rid->id);
  // Ids shared by several objects (the saturated last id) keep their sum in the table.
  if (rid->id != kLastId && slot.id.load(std::memory_order_relaxed) == CSYS_HOLD_SLOT_FREE &&
      find(bucketOf(rid->id), rid->id, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE) == nullptr) {
    slot.name = rid->name;
    slot.count.store(0, std::memory_order_relaxed);
    slot.id.store(rid->id, std::memory_order_relaxed);
  }
  if (csys_holdSlot* claimed = csys_resourceTracking_slotOf(rid->id)) {
    csys_resourceTracking_slotAdd(*claimed, 1, &csys_resourceTracking_self);
    return CSYS_OK;
  }
  return add(rid, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, 1);
}

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
  const BucketGuard guard(lockOf(rid->id));
  return shutDown() ? CSYS_OK : add(rid, actionType, delta);
}

CSYS_API csys_status csys_resourceId_getCount(const csys_resourceId* rid, uint32_t actionType,
                                              int32_t* count) {
  CSYS_CHECK(rid != nullptr && count != nullptr);
  if (rid == nullptr || count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *count = 0;
  if (excluded(rid)) return CSYS_OK;
  const BucketGuard guard(lockOf(rid->id));
  if (!shutDown()) {
    const csys_holdSlot* slot = csys_resourceTracking_slotOf(rid->id);
    if (slot != nullptr && actionType == CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE) {
      *count = slot->count.load(std::memory_order_relaxed);
    } else if (const Record* record = find(bucketOf(rid->id), rid->id, actionType)) {
      *count = record->count;
    }
  }
  return CSYS_OK;
}

CSYS_API csys_status csys_resourceReportLeaks(int32_t print, int32_t* leakCount, int32_t* valid) {
  CSYS_CHECK(leakCount != nullptr && valid != nullptr);
  if (leakCount == nullptr || valid == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *leakCount = 0;
  *valid = 0;
  if (shutDown() || !initialized()) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(lock());
  if (!shutDown()) {
    // A report from a print hook of this one lists under the locks this one holds.
    const bool outermost = !t_listing;
    for (BucketLock& bucketLock : g_bucketLocks) {
      if (outermost) bucketLock.lock();
    }
    t_listing = true;
    *leakCount = dump(print != 0);
    t_listing = !outermost;
    for (BucketLock& bucketLock : g_bucketLocks) {
      if (outermost) bucketLock.unlock();
    }
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
