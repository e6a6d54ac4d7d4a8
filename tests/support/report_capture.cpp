#include "support/report_capture.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

#include "csys_print.h"
#include "os/os.h"

namespace pmtsys_test {
namespace {

std::mutex g_mutex;
std::vector<AssertReport> g_reports;
std::string g_printed;
int g_flushes = 0;

void captureAssert(const char* message, const char* file, uint32_t line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_reports.push_back({message, file, line});
}

int capturePrint(FILE* /*stream*/, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_printed += text;
  return length;
}

int captureFlush(FILE* /*stream*/) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ++g_flushes;
  return 0;
}

}  // namespace

AssertCapture::AssertCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_reports.clear();
  os_setAssertSink(captureAssert);
}

AssertCapture::~AssertCapture() {
  os_setAssertSink(nullptr);
}

size_t AssertCapture::count() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_reports.size();
}

std::vector<AssertReport> AssertCapture::reports() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_reports;
}

PrintCapture::PrintCapture() {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_printed.clear();
    g_flushes = 0;
  }
  const csys_printfAHooks hooks{captureFlush, capturePrint};
  csys_printfASetHooks(&hooks);
}

PrintCapture::~PrintCapture() {
  csys_printfASetHooks(nullptr);
}

std::string PrintCapture::text() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_printed;
}

LeakReport printedLeakReport(int32_t (*report)(int32_t print, int32_t* leaks, int32_t* valid)) {
  PrintCapture capture;
  int32_t leaks = -1;
  int32_t valid = -1;
  EXPECT_EQ(report(1, &leaks, &valid), 0);
  EXPECT_EQ(valid, 1);
  return {leaks, capture.text()};
}

int PrintCapture::flushes() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_flushes;
}

}  // namespace pmtsys_test
