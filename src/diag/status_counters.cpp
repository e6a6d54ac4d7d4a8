// Status nesting counters: with checking on, increments and decrements of one process-wide
// level must alternate, and the first violation says where the offending calls came from.
#include <atomic>
#include <cstdio>

#include "csys_print.h"
#include "diag/check.h"

namespace {

// Plain process-wide bookkeeping; relaxed atomics only keep concurrent misuse well-defined.
struct Counters {
  std::atomic<int32_t> level{0};
  std::atomic<int64_t> incrementCount{0};
  std::atomic<int64_t> decrementCount{0};
  std::atomic<const char*> lastIncrementFile{nullptr};
  std::atomic<const char*> lastDecrementFile{nullptr};
  std::atomic<int32_t> lastIncrementLine{-1};
  std::atomic<int32_t> lastDecrementLine{-1};
};

Counters g_counters;

const char* text(const std::atomic<const char*>& file) {
  const char* value = file.load(std::memory_order_relaxed);
  return value != nullptr ? value : "(null)";
}

constexpr const char* kIncrementReport =
    "thisIncrementFile: %s thisIncrementLine: %d\nlastIncrementFile: %s lastIncrementLine: "
    "%d\nlastDecrementFile: %s lastDecrementLine: %d\nincrementCount: %lld\n";
constexpr const char* kDecrementReport =
    "thisDecrementFile: %s thisDecrementLine: %d\nlastIncrementFile: %s lastIncrementLine: "
    "%d\nlastDecrementFile: %s lastDecrementLine: %d\ndecrementCount: %lld\n";

// Reports a call that broke the alternation, through the runtime's own printf.
void report(const char* format, const char* file, uint32_t line, int64_t count) {
  std::printf(format, file != nullptr ? file : "(null)", static_cast<int>(line),
              text(g_counters.lastIncrementFile), g_counters.lastIncrementLine.load(),
              text(g_counters.lastDecrementFile), g_counters.lastDecrementLine.load(),
              static_cast<long long>(count));
}

}  // namespace

extern "C" {

CSYS_API csys_status csys_status_incrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check) {
  const int64_t count = g_counters.incrementCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const int32_t before = g_counters.level.fetch_add(1, std::memory_order_relaxed);
  if (check != 0 && before != 0) {
    report(kIncrementReport, file, line, count);
    CSYS_CHECK(false);
  }
  g_counters.lastIncrementFile.store(file, std::memory_order_relaxed);
  g_counters.lastIncrementLine.store(static_cast<int32_t>(line), std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_status_decrementCount_internal(const char* file, uint32_t line,
                                                         int32_t check) {
  const int64_t count = g_counters.decrementCount.fetch_add(1, std::memory_order_relaxed) + 1;
  const int32_t before = g_counters.level.fetch_sub(1, std::memory_order_relaxed);
  if (check != 0 && before != 1) {
    report(kDecrementReport, file, line, count);
    CSYS_CHECK(false);
  }
  g_counters.lastDecrementFile.store(file, std::memory_order_relaxed);
  g_counters.lastDecrementLine.store(static_cast<int32_t>(line), std::memory_order_relaxed);
  return CSYS_OK;
}

}  // extern "C"
