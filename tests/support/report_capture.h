// Test helpers that capture what the library reports: assertion reports (through the OS
// layer's sink) and print output (through the print hooks). Each restores the default when it
// goes out of scope.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace pmtsys_test {

struct AssertReport {
  std::string message;
  std::string location;
  uint32_t line;
};

// Collects assertion reports instead of writing them to standard error.
class AssertCapture {
 public:
  AssertCapture();
  ~AssertCapture();
  AssertCapture(const AssertCapture&) = delete;
  AssertCapture& operator=(const AssertCapture&) = delete;

  size_t count() const;
  std::vector<AssertReport> reports() const;
};

// Collects everything printed through csys_printfA.
class PrintCapture {
 public:
  PrintCapture();
  ~PrintCapture();
  PrintCapture(const PrintCapture&) = delete;
  PrintCapture& operator=(const PrintCapture&) = delete;

  std::string text() const;
};

// A leak report (csys_cleanupReportLeaks or csys_resourceReportLeaks) printed and captured:
// the count it gives and its text. The report must be valid.
using LeakReport = std::pair<int32_t, std::string>;
LeakReport printedLeakReport(int32_t (*report)(int32_t print, int32_t* leaks, int32_t* valid));

}  // namespace pmtsys_test
