// Attention tags: the caller's handle on one attachment, the data record of the built-in kinds,
// and attaching and detaching entries to any thread's list.
#include <atomic>
#include <cfloat>
#include <cmath>

#include "attention/attention_internal.h"
#include "csys_memory.h"
#include "diag/check.h"
#include "diag/type_checks.h"

namespace {

uint32_t g_numAttentionChecks = 0;

csys_status releaseTagData(void** wholeField, uintptr_t /*context*/) {
  // Freed through a copy: the field lies inside the record being freed.
  void* whole = *wholeField;
  if (whole == nullptr) return CSYS_OK;
  const csys_status dropped =
      cstd_ptrh_destruct(&static_cast<csys_attentionTagData*>(whole)->parent);
  return csys_firstFailure(dropped, csys_memory_free_internal(&whole));
}

constexpr cstd_shared_vtable kTagDataTable{releaseTagData, cstd_shared_increment_default,
                                           cstd_shared_decrement_default};

// Kind 0 (time-out, cancel) is the one whose firing in a clone reaches its source.
void initTagData(csys_attentionTagData* record, const csys_attentionTagParams& params) {
  CSYS_CHECK(params.kind <= CSYS_ATTENTION_KIND_PERIODIC_CANCEL);
  const uint32_t isTimeout = params.kind == CSYS_ATTENTION_KIND_TIMEOUT ? 1u : 0u;
  *record = csys_attentionTagData{params.kind,
                                  params.status,
                                  params.deadline,
                                  params.seconds,
                                  params.limit,
                                  params.counter,
                                  0,
                                  0,
                                  isTimeout,
                                  0,
                                  isTimeout,
                                  cstd_ptrh{nullptr},
                                  cstd_shared{}};
  const cstd_shared_initParams shared{0, nullptr, &kTagDataTable};
  cstd_shared_initCustom(&record->shared, record, &shared);
}

csys_status attachKind(csys_attentionTag* tag, csys_thread* thread,
                       const csys_attentionTagParams& params) {
  CSYS_CHECK(tag != nullptr);
  if (tag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (!(params.seconds >= 0.0)) return CSYS_E_INVALID_ARGUMENT;  // negative or NaN
  csys_attentionTagParams made = params;
  CSYS_RETURN_IF_FAILED(csys_attention_computeDeadline(params.seconds, &made.deadline));
  cstd_ptrh data{nullptr};
  csys_attentionTagData* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attentionTagData_create(made, &data, &record));
  // The entry's copy becomes the only owner when this handle goes. No frame: its close could fail
  // after the entry is linked.
  const csys_status attached =
      csys_attentionTag_attach(tag, thread, &data, csys_attentionTagData_check);
  return csys_firstFailure(attached, cstd_ptrh_destruct(&data));
}

}  // namespace

csys_status csys_attentionTagData_create(const csys_attentionTagParams& params, cstd_ptrh* handle,
                                         csys_attentionTagData** record) {
  void* block = nullptr;
  CSYS_RETURN_IF_FAILED(csys_memory_alloc_internal(sizeof(csys_attentionTagData), &block));
  auto* made = static_cast<csys_attentionTagData*>(block);
  initTagData(made, params);
  const csys_status status = cstd_ptrh_construct(handle, &made->shared);
  if (CSYS_FAILED(status)) {
    handle->shared = nullptr;
    csys_memory_free_internal(&block);
    return status;
  }
  *record = made;
  return CSYS_OK;
}

csys_status csys_attention_ticksPerSecond(double* ticksPerSecond) {
  csys_timer timer;
  csys_timerTicksPerSecond perSecond = 0;
  CSYS_RETURN_IF_FAILED(csys_timer_init(&timer, 1));
  CSYS_RETURN_IF_FAILED(csys_timer_getTimerTicksPerSecond(&timer, &perSecond));
  return csys_timerTicksPerSecond_convertToDouble(&perSecond, ticksPerSecond);
}

csys_status csys_attention_computeDeadline(double seconds, double* deadline) {
  CSYS_CHECK(seconds >= 0.0);
  if (seconds == 0.0) {
    *deadline = 0.0;
    return CSYS_OK;
  }
  csys_timerTicks ticks{};
  double now = 0.0;
  double perSecond = 0.0;
  CSYS_RETURN_IF_FAILED(csys_timer_getRawSystemTicks(&ticks));
  CSYS_RETURN_IF_FAILED(csys_timerTicks_convertToDouble(&ticks, &now));
  CSYS_RETURN_IF_FAILED(csys_attention_ticksPerSecond(&perSecond));
  *deadline = seconds >= DBL_MAX / perSecond ? HUGE_VAL : now + seconds * perSecond;
  return CSYS_OK;
}

csys_status csys_attention_findRecord(csys_thread* thread, csys_threadRecord** record) {
  *record = nullptr;
  if (thread == nullptr) {
    CSYS_RETURN_IF_FAILED(csys_thread_getCurrentRecord(record));
  } else {
    CSYS_RETURN_IF_FAILED(csys_thread_requireRecord(thread, record));
  }
  return *record != nullptr ? CSYS_OK : CSYS_E_NO_THREAD_RECORD;
}

extern "C" {

CSYS_API csys_status csys_attentionTag_construct(csys_attentionTag* tag) {
  CSYS_CHECK(tag != nullptr);
  if (tag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  tag->id = CSYS_ATTENTION_NO_ID;
  return csys_thread_construct(&tag->thread);
}

CSYS_API csys_status csys_attentionTag_destruct(csys_attentionTag* tag) {
  CSYS_CHECK(tag != nullptr);
  if (tag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  tag->id = CSYS_ATTENTION_NO_ID;
  return csys_thread_destruct(&tag->thread);
}

CSYS_API csys_status csys_attentionTag_detachAndDestruct(csys_attentionTag* tag) {
  CSYS_RETURN_IF_FAILED(csys_attentionTag_detach(tag));
  return csys_attentionTag_destruct(tag);
}

CSYS_API csys_status csys_attentionTag_attach(csys_attentionTag* tag, csys_thread* thread,
                                              cstd_ptrh* data, csys_attentionCheckFunc check) {
  CSYS_CHECK(tag != nullptr && data != nullptr && check != nullptr);
  if (tag == nullptr || data == nullptr || check == nullptr) return CSYS_E_INVALID_ARGUMENT;
  tag->id = CSYS_ATTENTION_NO_ID;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(thread, &record));
  uint32_t id = CSYS_ATTENTION_NO_ID;
  CSYS_RETURN_IF_FAILED(csys_attention_withList(record, [&](csys_attentionEntry* list) {
    return csys_attentionList_pushEntry(list, data, check, &id);
  }));
  tag->id = id;
  return thread != nullptr ? csys_thread_assign(&tag->thread, thread)
                           : csys_thread_getCurrentThread(&tag->thread);
}

CSYS_API csys_status csys_attentionTag_detach(csys_attentionTag* tag) {
  CSYS_CHECK(tag != nullptr);
  if (tag == nullptr) return CSYS_E_INVALID_ARGUMENT;
  if (tag->id == CSYS_ATTENTION_NO_ID) return CSYS_OK;
  csys_threadRecord* record = nullptr;
  CSYS_RETURN_IF_FAILED(csys_attention_findRecord(&tag->thread, &record));
  return csys_attention_withList(record, [&](csys_attentionEntry* list) {
    return csys_attentionList_removeById(list, tag->id);
  });
}

CSYS_API csys_status csys_attentionTag_attachTimeout(csys_attentionTag* tag, csys_thread* thread,
                                                     double seconds) {
  return attachKind(tag, thread, {CSYS_ATTENTION_KIND_TIMEOUT, CSYS_E_TIMEOUT, 0.0, seconds, 0, 0});
}

CSYS_API csys_status csys_attentionTag_attachTimeoutCustom(csys_attentionTag* tag,
                                                           csys_thread* thread, double seconds,
                                                           csys_status status) {
  if (!CSYS_FAILED(status)) return CSYS_E_INVALID_ARGUMENT;
  return attachKind(tag, thread, {CSYS_ATTENTION_KIND_TIMEOUT, status, 0.0, seconds, 0, 0});
}

CSYS_API csys_status csys_attentionTag_attachCancel(csys_attentionTag* tag, csys_thread* thread,
                                                    csys_status status) {
  return csys_attentionTag_attachTimeoutCustom(tag, thread, 0.0, status);
}

CSYS_API csys_status csys_attentionTag_attachPeriodicYield(csys_attentionTag* tag,
                                                           csys_thread* thread, double seconds) {
  return attachKind(tag, thread,
                    {CSYS_ATTENTION_KIND_PERIODIC_YIELD, CSYS_OK, 0.0, seconds, 100, 0});
}

CSYS_API csys_status csys_attentionTag_attachCountedTimeout(csys_attentionTag* tag,
                                                            csys_thread* thread, uint32_t count) {
  CSYS_RETURN_IF_FAILED(attachKind(
      tag, thread, {CSYS_ATTENTION_KIND_COUNTED_TIMEOUT, CSYS_E_TIMEOUT, 0.0, 0.0, count, 0}));
  return csys_attention_resetNumAttentionChecks();
}

CSYS_API csys_status csys_attentionTag_attachPeriodicCancel(csys_attentionTag* tag,
                                                            csys_thread* thread, double seconds,
                                                            csys_status status) {
  if (!CSYS_FAILED(status)) return CSYS_E_INVALID_ARGUMENT;
  return attachKind(tag, thread, {CSYS_ATTENTION_KIND_PERIODIC_CANCEL, status, 0.0, seconds, 0, 0});
}

CSYS_API csys_status csys_attention_getNumAttentionChecks(uint32_t* count) {
  CSYS_CHECK(count != nullptr);
  if (count == nullptr) return CSYS_E_INVALID_ARGUMENT;
  *count = std::atomic_ref<uint32_t>(g_numAttentionChecks).load(std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_attention_resetNumAttentionChecks(void) {
  std::atomic_ref<uint32_t>(g_numAttentionChecks).store(0, std::memory_order_relaxed);
  return CSYS_OK;
}

}  // extern "C"

// Counting-mode checks of several threads may lose increments, as a plain counter would, but
// never tear the value.
void csys_attention_countCheck() {
  std::atomic_ref<uint32_t> counter(g_numAttentionChecks);
  counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

CSYS_DEFINE_TYPE_CHECKS(csys_attentionTag)
