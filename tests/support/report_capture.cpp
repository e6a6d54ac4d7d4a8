#include "support/report_capture.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

#include "csys_print.h"
#include "os/os.h"

namespace pmtsys_test {
namespace {

std::mutex g_mutex;  // the library may report from any thread
std::vector<AssertReport> g_reports;
std::string g_printed;

int capturePrint(FILE* /*stream*/, const char* format, va_list args) {
  char text[4096];
  const int length = std::vsnprintf(text, sizeof text, format, args);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_printed += text;
  return length;
}

}  // namespace

AssertCapture::AssertCapture() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_reports.clear();
  os_setAssertSink([](const char* message, const char* file, uint32_t line) {
    std::lock_guard<std::mutex> inSink(g_mutex);
    g_reports.push_back({message, file, line});
  });
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
  }
  const csys_printfAHooks hooks{nullptr, capturePrint};
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

}  // namespace pmtsys_test
