// Status nesting counters: with checking on, increments and decrements of one process-wide
// level must alternate, and the first violation says where the offending calls came from.
#include <atomic>
#include <cstdio>

#include "csys_print.h"
#include "diag/check.h"

namespace {

// Plain process-wide bookkeeping; relaxed atomics only keep concurrent misuse well-defined.
struct Side {
  std::atomic<int64_t> calls{0};
  std::atomic<const char*> lastFile{nullptr};
  std::atomic<int32_t> lastLine{-1};
};

struct Counters {
  std::atomic<int32_t> level{0};
  Side increment;
  Side decrement;
};

Counters g_counters;

const char* text(const char* file) {
  return file != nullptr ? file : "(null)";
}

constexpr const char* kIncrementReport =
    "thisIncrementFile: %s thisIncrementLine: %d\nlastIncrementFile: %s lastIncrementLine: "
    "%d\nlastDecrementFile: %s lastDecrementLine: %d\nincrementCount: %lld\n";
constexpr const char* kDecrementReport =
    "thisDecrementFile: %s thisDecrementLine: %d\nlastIncrementFile: %s lastIncrementLine: "
    "%d\nlastDecrementFile: %s lastDecrementLine: %d\ndecrementCount: %lld\n";

// One counter call: moves the level by `delta`; with checking on, a level other than
// `expectedBefore` is reported (through the runtime's own printf) and asserted.
void step(Side& side, int32_t delta, int32_t expectedBefore, const char* format, const char* file,
          uint32_t line, int32_t check) {
  const int64_t calls = side.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  const int32_t before = g_counters.level.fetch_add(delta, std::memory_order_relaxed);
  if (check != 0 && before != expectedBefore) {
    std::printf(format, text(file), static_cast<int>(line),
                text(g_counters.increment.lastFile.load()), g_counters.increment.lastLine.load(),
                text(g_counters.decrement.lastFile.load()), g_counters.decrement.lastLine.load(),
                static_cast<long long>(calls));
    CSYS_CHECK(false);
  }
  side.lastFile.store(file, std::memory_order_relaxed);
  side.lastLine.store(static_cast<int32_t>(line), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_status_incrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check) {
  step(g_counters.increment, 1, 0, kIncrementReport, file, line, check);
  return CSYS_OK;
}

CSYS_API csys_status csys_status_decrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check) {
  step(g_counters.decrement, -1, 1, kDecrementReport, file, line, check);
  return CSYS_OK;
}

}  // extern "C"
