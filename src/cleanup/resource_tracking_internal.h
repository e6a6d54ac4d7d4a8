// Set-up and tear-down of resource leak tracking, for the global mutex's creator and the final
// shutdown stage.
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>

#include "csys_resource.h"
#include "csys_status.h"
#include "csys_sync.h"
#include "os/os.h"

// Tracking state bits, in one word so that the hot paths test them with one load.
inline constexpr int32_t CSYS_RESOURCE_TRACKING_INITIALIZED = 1;
inline constexpr int32_t CSYS_RESOURCE_TRACKING_ENABLED = 2;
inline constexpr int32_t CSYS_RESOURCE_TRACKING_SHUT_DOWN = 4;
extern std::atomic<int32_t> csys_resourceTracking_state;

// Running: initialized, enabled and not shut down.
inline bool csys_resourceTracking_isLive() {
  return (csys_resourceTracking_state.load(std::memory_order_acquire) &
          (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_ENABLED |
           CSYS_RESOURCE_TRACKING_SHUT_DOWN)) ==
         (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_ENABLED);
}

// Sets tracking up (it comes with the global mutex) unless it exists or has ended. Library code
// calls it before constructing an object that lives on into the caller's use, so that the
// object's destruction finds its construction counted instead of showing a count of -1.
inline csys_status csys_resourceTracking_ensure() {
  if ((csys_resourceTracking_state.load(std::memory_order_acquire) &
       (CSYS_RESOURCE_TRACKING_INITIALIZED | CSYS_RESOURCE_TRACKING_SHUT_DOWN)) != 0) {
    return CSYS_OK;
  }
  csys_mutex* global = nullptr;
  return csys_mutex_getGlobal(&global);
}

// Reports an action, skipping the call altogether while tracking is not running.
inline csys_status csys_resourceTracking_log(const csys_resourceId* rid, uint32_t actionType,
                                             int32_t delta) {
  return csys_resourceTracking_isLive() ? csys_resourceId_logAction(rid, actionType, delta)
                                        : CSYS_OK;
}

// Hold counts. The waitOrRelease sum of a library lock is changed on every acquisition and
// release, so it lives outside the table, in a slot found from the id alone (no search, no lock)
// and changed with plain stores by the thread that holds the lock: the lock itself serializes
// its count, and two threads on two locks write two different cache lines. A slot is claimed by
// the first tracked acquisition of a lock whose id has no such record in the table yet (a slot
// already taken by another id leaves that lock to the table), and freed when the lock is
// destroyed with nothing held. The report merges the slots into the table's order by birth: a
// record comes after every record of its id born before its sum last left zero.
inline constexpr int32_t CSYS_HOLD_SLOTS = 1024;
inline constexpr int32_t CSYS_HOLD_SLOT_FREE = INT32_MIN;

struct alignas(64) csys_holdSlot {
  std::atomic<int32_t> id{CSYS_HOLD_SLOT_FREE};
  std::atomic<int32_t> count{0};
  std::atomic<const void*> holder{nullptr};  // the thread counted as holding, while count > 0
  std::atomic<uint64_t> birth{0};            // the births counter when count last left zero
  const char* name = nullptr;                // set when claimed, under the bucket's lock
};
extern csys_holdSlot csys_resourceTracking_holdSlots[CSYS_HOLD_SLOTS];
// Advanced by each record the table adds; its value orders records of one id.
extern std::atomic<uint64_t> csys_resourceTracking_births;

// The calling thread, by the address of a variable of its own.
extern constinit thread_local char csys_resourceTracking_self OS_TLS_INITIAL_EXEC;

// The slot that keeps this id's hold count, or null when the table keeps it.
inline csys_holdSlot* csys_resourceTracking_slotOf(int32_t id) {
  csys_holdSlot& slot =
      csys_resourceTracking_holdSlots[static_cast<uint32_t>(id) & (CSYS_HOLD_SLOTS - 1)];
  return slot.id.load(std::memory_order_relaxed) == id ? &slot : nullptr;
}

// Adds delta to a slot's count; a count that leaves zero is born again.
inline void csys_resourceTracking_slotAdd(csys_holdSlot& slot, int32_t delta, const void* holder) {
  const int32_t count = slot.count.load(std::memory_order_relaxed);
  if (count == 0) {
    slot.birth.store(csys_resourceTracking_births.load(std::memory_order_relaxed),
                     std::memory_order_relaxed);
  }
  slot.count.store(count + delta, std::memory_order_relaxed);
  slot.holder.store(count + delta > 0 ? holder : nullptr, std::memory_order_relaxed);
}

// The acquisition of a library lock, by the thread that holds it now (slow path: claims a slot,
// or counts in the table).
csys_status csys_resourceTracking_acquiredSlow(const csys_resourceId* rid);
inline csys_status csys_resourceTracking_acquired(const csys_resourceId* rid) {
  if (!csys_resourceTracking_isLive()) return CSYS_OK;
  csys_holdSlot* slot = csys_resourceTracking_slotOf(rid->id);
  if (slot == nullptr) return csys_resourceTracking_acquiredSlow(rid);
  csys_resourceTracking_slotAdd(*slot, 1, &csys_resourceTracking_self);
  return CSYS_OK;
}

// Releases a library lock with `leave` (false: the OS refused, the caller did not hold it) and
// counts the release. A slot counted as held by this thread, or by none, is changed before the
// lock is left, so that the next holder never races with it, and put back if the OS refuses.
// Otherwise the release is counted after leaving, on a copy of the identity: once left, the
// object may be destroyed by another thread.
template <typename Leave>
csys_status csys_resourceTracking_release(const csys_resourceId* rid, Leave leave,
                                          csys_status refused) {
  const csys_resourceId copy = *rid;
  csys_holdSlot* slot =
      csys_resourceTracking_isLive() ? csys_resourceTracking_slotOf(copy.id) : nullptr;
  const void* const self = &csys_resourceTracking_self;
  const void* const holder =
      slot != nullptr ? slot->holder.load(std::memory_order_relaxed) : nullptr;
  if (slot != nullptr && (holder == self || holder == nullptr)) {
    const int32_t count = slot->count.load(std::memory_order_relaxed);
    csys_resourceTracking_slotAdd(*slot, -1, self);
    if (leave()) return CSYS_OK;
    slot->count.store(count, std::memory_order_relaxed);
    slot->holder.store(holder, std::memory_order_relaxed);
    return refused;
  }
  if (!leave()) return refused;
  return csys_resourceTracking_log(&copy, CSYS_RESOURCE_ACTION_WAIT_OR_RELEASE, -1);
}

// Constructs the tracking lock and the table; reports logged before this are ignored.
csys_status csys_resourceTracking_init();
// Reports leaks (when asked to at shutdown), then frees the table and the lock for good.
csys_status csys_resourceTracking_shutdown();
