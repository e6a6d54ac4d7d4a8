// Test helpers that capture what the library reports: assertion reports (through the OS layer's
// sink) and print output (through the print hooks), restoring the defaults at the end of scope.
#pragma once

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "csys_print.h"
#include "os/os.h"

namespace pmtsys_test {

struct AssertReport {
  std::string message;
  std::string location;
  uint32_t line;
};

namespace captured {
inline std::mutex mutex;  // the library may report from any thread
inline std::vector<AssertReport> reports;
inline std::string printed;
template <typename Action>
auto locked(Action action) {
  std::lock_guard<std::mutex> lock(mutex);
  return action();
}
}  // namespace captured

// Collects assertion reports instead of writing them to standard error.
class AssertCapture {
 public:
  AssertCapture() {
    captured::locked([] { captured::reports.clear(); });
    os_setAssertSink([](const char* message, const char* file, uint32_t line) {
      captured::locked([&] { captured::reports.push_back({message, file, line}); });
    });
  }
  ~AssertCapture() { os_setAssertSink(nullptr); }

  size_t count() const { return reports().size(); }
  std::vector<AssertReport> reports() const {
    return captured::locked([] { return captured::reports; });
  }
};

// Collects everything printed through csys_printfA.
class PrintCapture {
 public:
  PrintCapture() {
    captured::locked([] { captured::printed.clear(); });
    const csys_printfAHooks hooks{nullptr, [](FILE*, const char* format, va_list args) {
                                    char text[4096];
                                    const int length =
                                        std::vsnprintf(text, sizeof text, format, args);
                                    captured::locked([&] { captured::printed += text; });
                                    return length;
                                  }};
    csys_printfASetHooks(&hooks);
  }
  ~PrintCapture() { csys_printfASetHooks(nullptr); }

  std::string text() const {
    return captured::locked([] { return captured::printed; });
  }
};

// A leak report (csys_cleanupReportLeaks or csys_resourceReportLeaks) printed and captured:
// the count it gives and its text. The report must be valid.
using LeakReport = std::pair<int32_t, std::string>;
inline LeakReport printedLeakReport(int32_t (*report)(int32_t print, int32_t* leaks,
                                                      int32_t* valid)) {
  PrintCapture capture;
  int32_t leaks = -1, valid = -1;
  EXPECT_EQ(report(1, &leaks, &valid), 0);
  EXPECT_EQ(valid, 1);
  return {leaks, capture.text()};
}

}  // namespace pmtsys_test
