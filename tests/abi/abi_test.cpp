// The shared library's exported interface is exactly the list in exports.txt: nothing missing
// (checked by loading each name) and no internal name leaking (checked by reading the dynamic
// symbol table).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "pmtsys.h"

extern "C" int pmtsys_abi_c11_status_is_failure(csys_status status);

namespace {

std::set<std::string> expectedExports() {
  std::set<std::string> names;
  std::ifstream in(PMTSYS_EXPORTS_FILE);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') names.insert(line);
  }
  return names;
}

std::set<std::string> actualExports() {
  std::set<std::string> names;
  const std::string command = std::string("nm -D --defined-only '") + PMTSYS_LIBRARY_FILE + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char type = 0;
    char name[400];
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2) names.insert(name);
  }
  pclose(pipe);
  return names;
}

TEST(Abi, ExportsExactlyTheInterface) {
  const auto expected = expectedExports();
  ASSERT_FALSE(expected.empty());
  const auto actual = actualExports();
  ASSERT_FALSE(actual.empty()) << "could not read the dynamic symbols of " << PMTSYS_LIBRARY_FILE;
  for (const auto& name : expected) EXPECT_TRUE(actual.count(name)) << "missing: " << name;
  for (const auto& name : actual) EXPECT_TRUE(expected.count(name)) << "unexpected: " << name;
}

TEST(Abi, EveryExportResolvesAtRunTime) {
  void* library = dlopen(PMTSYS_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const auto& name : expectedExports()) {
    EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
  }
  dlclose(library);
}

TEST(Abi, HeadersWorkFromC) {
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_E_FAIL), 1);
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_SHUTDOWN_POSTPONED), 0);
}

}  // namespace
