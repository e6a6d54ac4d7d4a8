// The assertion report sink, the same on every platform: the default writes the report to
// standard error and the debugger's output, then returns; a report is not a stop (the C
// runtime's own assertion report would abort).
#include <atomic>
#include <cstdio>

#include "os/os.h"

namespace {

void defaultSink(const char* message, const char* file, uint32_t line) {
  char text[1024];
  std::snprintf(text, sizeof text, "Assertion failed: %s, file %s, line %u\n", message, file, line);
  std::fputs(text, stderr);
  std::fflush(stderr);
  os_writeDebugOutput(text);
}

std::atomic<os_assertSink> g_sink{defaultSink};

}  // namespace

void os_assertReport(const char* message, const char* file, uint32_t line) {
  g_sink.load(std::memory_order_acquire)(message, file, line);
}

os_assertSink os_setAssertSink(os_assertSink sink) {
  return g_sink.exchange(sink != nullptr ? sink : defaultSink, std::memory_order_acq_rel);
}
