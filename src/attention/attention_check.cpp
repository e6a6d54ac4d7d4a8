// The attention check: evaluates the calling thread's list, then the lists of the threads it is
// a proxy for, and the check function of the built-in tag kinds. An empty list costs the record
// lookup and one load: no lock, no clock, no allocation.
#include <algorithm>

#include "attention/attention_internal.h"
#include "cleanup/cleanup_internal.h"
#include "csys_atomic.h"
#include "diag/check.h"
#include "os/os.h"

namespace {

// Caller-owned; not locked, as the callers are told.
csys_timerTicks* g_timerTicksList = nullptr;
uint32_t g_timerTicksListLength = 0;

// The longest proxy chain one check follows beyond the calling thread.
constexpr int kMaxProxyChain = 16;

// The calling thread's record, cached for the check. A thread cleanup registered with the cache
// clears it at the thread's end, so it never outlives the per-thread block that keeps the record
// alive. Within the library's own image the initial-exec model makes it one load.
thread_local csys_threadRecord* t_record OS_TLS_INITIAL_EXEC = nullptr;

csys_status forgetRecord(void* /*unused*/) {
  t_record = nullptr;
  return CSYS_OK;
}

// A failed registration only leaves the record uncached.
csys_status currentRecord(csys_threadRecord** record) {
  *record = t_record;
  if (*record != nullptr) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(csys_thread_getCurrentRecord(record));
  if (*record != nullptr && !CSYS_FAILED(csys_thread_cleanup_register(forgetRecord, nullptr))) {
    t_record = *record;
  }
  return CSYS_OK;
}

csys_status readNow(double* now) {
  csys_timerTicks ticks{};
  CSYS_RETURN_IF_FAILED(csys_timer_getRawSystemTicks(&ticks));
  return csys_timerTicks_convertToDouble(&ticks, now);
}

// A firing clone of a time-out makes the record it was cloned from, and that record's own
// ancestors, leave their lists silently: one expiry is reported once.
csys_status markAncestors(csys_attentionTagData* record) {
  CSYS_CHECK(record != nullptr);
  if (record == nullptr || record->isClone == 0 || record->propagates == 0) return CSYS_OK;
  void* whole = nullptr;
  CSYS_RETURN_IF_FAILED(cstd_ptrh_getWholeShared(&record->parent, &whole));
  while (whole != nullptr) {
    auto* ancestor = static_cast<csys_attentionTagData*>(whole);
    CSYS_RETURN_IF_FAILED(
        csys_atomicExchange(reinterpret_cast<int32_t*>(&ancestor->firedByClone), 1, nullptr));
    CSYS_CHECK(csys_attention_load(ancestor->hasClones) != 0 && ancestor->propagates != 0);
    CSYS_RETURN_IF_FAILED(cstd_ptrh_getWholeShared(&ancestor->parent, &whole));
  }
  return CSYS_OK;
}

csys_status checkTimeout(csys_attentionTagData* data, csys_attentionResult* result, bool* fired) {
  bool due = data->deadline <= 0.0;
  if (!due) {
    double now = 0.0;
    CSYS_RETURN_IF_FAILED(readNow(&now));
    due = now >= data->deadline;
  }
  if (due) *result = {1, data->status};
  *fired = due;
  return CSYS_OK;
}

// Reads the clock only every limit + 1 checks; gives up the processor when the period is over.
csys_status checkPeriodicYield(csys_attentionTagData* data, bool* fired) {
  if (++data->counter <= data->limit) return CSYS_OK;
  data->counter = 0;
  double now = 0.0;
  CSYS_RETURN_IF_FAILED(readNow(&now));
  *fired = now >= data->deadline;
  if (!*fired) return CSYS_OK;
  CSYS_RETURN_IF_FAILED(csys_sleep(0.0));
  return csys_attention_computeDeadline(data->seconds, &data->deadline);
}

csys_status checkCounted(csys_attentionTagData* data, csys_attentionResult* result, bool* fired) {
  if (data->limit == CSYS_ATTENTION_COUNTING_MODE) {
    csys_attention_countCheck();
  } else if (g_timerTicksList != nullptr && data->counter < g_timerTicksListLength) {
    CSYS_RETURN_IF_FAILED(csys_timer_getRawSystemTicks(&g_timerTicksList[data->counter]));
  }
  *fired = ++data->counter >= data->limit;
  if (*fired) *result = {1, CSYS_E_TIMEOUT};
  return CSYS_OK;
}

// Reports once per period while checked in time; one checked more than 1.6 s late leaves
// silently.
csys_status checkPeriodicCancel(csys_attentionTagData* data, csys_attentionResult* result,
                                bool* fired) {
  bool due = true;
  bool late = true;
  if (data->deadline > 0.0) {
    double now = 0.0;
    double perSecond = 0.0;
    CSYS_RETURN_IF_FAILED(readNow(&now));
    CSYS_RETURN_IF_FAILED(csys_attention_ticksPerSecond(&perSecond));
    due = now >= data->deadline;
    late = now > data->deadline + 1.6 * perSecond;
  }
  *fired = due;
  if (!due) return CSYS_OK;
  *result = {late ? 1u : 0u, late ? CSYS_OK : data->status};
  return csys_attention_computeDeadline(data->seconds, &data->deadline);
}

// One link of a proxy chain, under that record's lock: evaluates its list at proxy level (except
// the calling thread's own, evaluated already) and, when `next` is given, copies the thread it
// stands in for into it. The copy keeps that record alive after the lock is left.
csys_status visitLink(csys_threadRecord* record, bool evaluate, csys_status* last,
                      csys_thread* next) {
  return csys_attention_underLock(record, [&] {
    csys_status status = CSYS_OK;
    if (evaluate && (csys_thread_isFinished(record) || record->attention == nullptr)) {
      status = CSYS_E_THREAD_ENDED;
    } else if (evaluate && record->attention->next != nullptr) {
      status = csys_attentionList_evaluate(record->attention, true);
      *last = status;
    }
    if (!CSYS_FAILED(status) && next != nullptr && record->isProxy != 0) {
      status = csys_thread_assign(next, &record->proxyFor);
    }
    return status;
  });
}

// Follows the proxy chain one lock at a time. The walk ends at a thread that is no proxy, at a
// thread already evaluated in this check (a ring of proxies) or after kMaxProxyChain threads.
csys_status checkProxies(csys_threadRecord* own, csys_status last) {
  CleanupFrame<kMaxProxyChain> frame;
  csys_thread chain[kMaxProxyChain];
  csys_threadRecord* visited[kMaxProxyChain + 1] = {own};
  int links = 0;
  for (csys_threadRecord* current = own; frame.ok();) {
    csys_thread* next = nullptr;
    if (links < kMaxProxyChain && frame.call(csys_thread_construct(&chain[links]))) {
      next = &chain[links++];
      frame.add(CSYS_CLEANUP_CALL_OBJ | CSYS_CLEANUP_RUN_ALWAYS, next, csys_thread_destruct);
    }
    if (!frame.call(visitLink(current, current != own, &last, next)) || next == nullptr) break;
    csys_threadRecord* target = nullptr;
    if (!frame.call(csys_thread_getRecord(next, &target)) || target == nullptr) break;
    if (std::find(visited, visited + links, target) != visited + links) break;
    visited[links] = target;
    current = target;
  }
  const csys_status closed = frame.close();
  return CSYS_FAILED(closed) ? closed : last;
}

}  // namespace

csys_status csys_attentionTagData_check(void* whole, csys_attentionResult* result) {
  CSYS_CHECK(whole != nullptr && result != nullptr);
  if (whole == nullptr || result == nullptr) return CSYS_E_INVALID_ARGUMENT;
  auto* data = static_cast<csys_attentionTagData*>(whole);
  if (csys_attention_load(data->firedByClone) != 0 && data->honoursCloneFiring != 0) {
    result->done = 1;  // a clone already reported this expiry in another thread
    return CSYS_OK;
  }
  bool fired = false;
  switch (data->kind) {
    case CSYS_ATTENTION_KIND_TIMEOUT:
      CSYS_RETURN_IF_FAILED(checkTimeout(data, result, &fired));
      break;
    case CSYS_ATTENTION_KIND_PERIODIC_YIELD:
      CSYS_RETURN_IF_FAILED(checkPeriodicYield(data, &fired));
      break;
    case CSYS_ATTENTION_KIND_COUNTED_TIMEOUT:
      CSYS_RETURN_IF_FAILED(checkCounted(data, result, &fired));
      break;
    case CSYS_ATTENTION_KIND_PERIODIC_CANCEL:
      CSYS_RETURN_IF_FAILED(checkPeriodicCancel(data, result, &fired));
      break;
    default:
      CSYS_CHECK(false);
      return CSYS_E_INVALID_ARGUMENT;
  }
  return fired ? markAncestors(data) : CSYS_OK;
}

extern "C" {

CSYS_API csys_status csys_attention_check(void) {
  csys_threadRecord* own = nullptr;
  CSYS_RETURN_IF_FAILED(currentRecord(&own));
  CSYS_CHECK(own != nullptr);
  if (own == nullptr) return CSYS_E_NO_THREAD_RECORD;
  // Only this thread's end destroys its list, so the thread itself may look at it unlocked.
  if (csys_thread_isFinished(own) || own->attention == nullptr) return CSYS_E_THREAD_ENDED;
  csys_status status = CSYS_OK;
  if (csys_attentionList_first(own->attention) != nullptr) {
    status = csys_attention_underLock(
        own, [own] { return csys_attentionList_evaluate(own->attention, false); });
    if (CSYS_FAILED(status)) return status;
  }
  if (csys_attention_load(own->isProxy) == 0) return status;
  return checkProxies(own, status);
}

CSYS_API csys_status csys_attention_attachTimerTicksList(csys_timerTicks* list, uint32_t length) {
  g_timerTicksList = list;
  g_timerTicksListLength = length;
  return CSYS_OK;
}

CSYS_API csys_status csys_attention_detachTimerTicksList(void) {
  g_timerTicksList = nullptr;
  g_timerTicksListLength = 0;
  return CSYS_OK;
}

}  // extern "C"
