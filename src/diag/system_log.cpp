// System-event hooks: two entry points that forward to functions the host installs.
#include <atomic>

#include "csys_atomic.h"
#include "csys_print.h"
#include "diag/check.h"

namespace {

void* g_eventFunc = nullptr;
void* g_proxyEventFunc = nullptr;

// The hooks are exchanged atomically, so reads are atomic too.
csys_log_systemEventFunc load(void*& slot) {
  return reinterpret_cast<csys_log_systemEventFunc>(
      std::atomic_ref<void*>(slot).load(std::memory_order_acquire));
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_log_installSystemLog(csys_log_systemEventFunc eventFunc,
                                               csys_log_systemEventFunc proxyEventFunc) {
  void* event = reinterpret_cast<void*>(eventFunc);
  void* proxy = reinterpret_cast<void*>(proxyEventFunc);
  const csys_status first = csys_atomicExchangePtr(&g_eventFunc, &event);
  const csys_status second = csys_atomicExchangePtr(&g_proxyEventFunc, &proxy);
  return csys_firstFailure(first, second);
}

CSYS_API csys_status csys_log_addSystemEvent(uint32_t eventId, uintptr_t eventData) {
  const auto func = load(g_eventFunc);
  return func != nullptr ? func(0, eventId, eventData) : CSYS_OK;
}

CSYS_API csys_status csys_log_addSystemEventProxyID(uint32_t proxyId, uint32_t eventId,
                                                    uintptr_t eventData) {
  const auto func = load(g_proxyEventFunc);
  return func != nullptr ? func(proxyId, eventId, eventData) : CSYS_OK;
}

}  // extern "C"
