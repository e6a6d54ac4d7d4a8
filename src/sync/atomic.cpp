// Full-barrier read-modify-write on caller-owned values, and the library's sleep. No state, no
// locks: the code that builds the library's locks rests on these.
#include <atomic>
#include <cmath>

#include "csys_atomic.h"
#include "os/os.h"

namespace {

// The longest single OS sleep; OS_INFINITE itself means "forever".
constexpr double kMaxOsSleepMs = static_cast<double>(OS_INFINITE - 1);

}  // namespace

extern "C" {

CSYS_API csys_status csys_atomicIncrement(int32_t* target, int32_t* newValue) {
  // Wraps like the platform's interlocked increment; the arithmetic is done unsigned.
  const auto value = static_cast<int32_t>(
      static_cast<uint32_t>(std::atomic_ref<int32_t>(*target).fetch_add(1)) + 1u);
  if (newValue != nullptr) *newValue = value;
  return CSYS_OK;
}

CSYS_API csys_status csys_atomicDecrement(int32_t* target, int32_t* newValue) {
  const auto value = static_cast<int32_t>(
      static_cast<uint32_t>(std::atomic_ref<int32_t>(*target).fetch_sub(1)) - 1u);
  if (newValue != nullptr) *newValue = value;
  return CSYS_OK;
}

CSYS_API csys_status csys_atomicExchange(int32_t* target, int32_t value, int32_t* oldValue) {
  const int32_t old = std::atomic_ref<int32_t>(*target).exchange(value);
  if (oldValue != nullptr) *oldValue = old;
  return CSYS_OK;
}

CSYS_API csys_status csys_atomicExchangePtr(void** target, void** valueInOut) {
  *valueInOut = std::atomic_ref<void*>(*target).exchange(*valueInOut);
  return CSYS_OK;
}

CSYS_API csys_status csys_sleep(double seconds) {
  if (!(seconds >= 0.0)) return CSYS_E_INVALID_ARGUMENT;  // negative or NaN
  if (std::isinf(seconds)) {
    os_sleep(OS_INFINITE);
    return CSYS_OK;
  }
  double ms = std::floor(seconds * 1000.0 + 0.5);
  if (seconds > 0.0 && ms == 0.0) ms = 1.0;
  // Durations beyond one OS sleep are slept in pieces rather than wrapped into a short one.
  while (ms > kMaxOsSleepMs) {
    os_sleep(OS_INFINITE - 1);
    ms -= kMaxOsSleepMs;
  }
  os_sleep(static_cast<uint32_t>(ms));
  return CSYS_OK;
}

}  // extern "C"
