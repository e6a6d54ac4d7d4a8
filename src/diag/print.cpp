// The library's one text output, whose stream and whose two steps (format-and-write, flush)
// the host may replace, plus the diagnostic stream pass-through. The process-wide values are
// read and written without a lock; relaxed atomics keep concurrent replacement well-defined.
#include <atomic>
#include <cstdio>

#include "csys_print.h"
#include "diag/check.h"

namespace {

std::atomic<FILE*> g_output{nullptr};
std::atomic<csys_printfAFlushHookFunc> g_flushHook{nullptr};
// Wrapped: on some targets va_list carries an attribute that std::atomic would drop.
struct PrintHook {
  csys_printfAPrintHookFunc func;
};
std::atomic<PrintHook> g_printHook{PrintHook{nullptr}};
std::atomic<cfDiagStreamFunc> g_diagStream{nullptr};

constexpr size_t kDiagBufferSize = 1024;

}  // namespace

extern "C" {

CSYS_API csys_status csys_printfSetOutput(FILE* stream) {
  g_output.store(stream, std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_printfGetOutput(FILE** stream) {
  CSYS_CHECK(stream != nullptr);
  if (stream == nullptr) return CSYS_E_INVALID_ARGUMENT;
  FILE* output = g_output.load(std::memory_order_relaxed);
  *stream = output != nullptr ? output : stdout;
  return CSYS_OK;
}

CSYS_API csys_status csys_printfAHooks_init(csys_printfAHooks* hooks) {
  CSYS_CHECK(hooks != nullptr);
  if (hooks != nullptr) *hooks = csys_printfAHooks{nullptr, nullptr};
  return CSYS_OK;
}

CSYS_API csys_status csys_printfASetHooks(const csys_printfAHooks* hooks) {
  csys_printfAHooks value{nullptr, nullptr};
  if (hooks != nullptr) value = *hooks;
  g_flushHook.store(value.flushHook, std::memory_order_relaxed);
  g_printHook.store(PrintHook{value.printHook}, std::memory_order_relaxed);
  return CSYS_OK;
}

CSYS_API csys_status csys_printfA(const char* format, ...) {
  CSYS_CHECK(format != nullptr);
  if (format == nullptr) return CSYS_E_INVALID_ARGUMENT;
  FILE* stream = nullptr;
  CSYS_RETURN_IF_FAILED(csys_printfGetOutput(&stream));
  va_list args;
  va_start(args, format);
  if (const auto printHook = g_printHook.load(std::memory_order_relaxed).func) {
    printHook(stream, format, args);
  } else {
    std::vfprintf(stream, format, args);
  }
  va_end(args);
  if (const auto flushHook = g_flushHook.load(std::memory_order_relaxed)) {
    flushHook(stream);
  } else {
    std::fflush(stream);
  }
  return CSYS_OK;
}

CSYS_API void cfSetDiagStream(cfDiagStreamFunc func) {
  g_diagStream.store(func, std::memory_order_relaxed);
}

CSYS_API void cfDiagPrint2(intptr_t /*unused*/, const char* format, ...) {
  CSYS_CHECK(format != nullptr);
  if (format == nullptr) return;
  char buffer[kDiagBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);  // cut at 1023 characters
  va_end(args);
  if (const auto stream = g_diagStream.load(std::memory_order_relaxed)) stream(buffer);
}

}  // extern "C"
