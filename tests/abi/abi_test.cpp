// The shared library's exported interface is exactly the list in exports.txt: nothing missing and
// no internal name leaking (read from the dynamic symbol table on Linux, the export directory of
// the loaded DLL on Windows).
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#endif

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

#if defined(_WIN32)
// The names in the export directory of the loaded image.
std::set<std::string> actualExports() {
  std::set<std::string> names;
  const HMODULE library = LoadLibraryA(PMTSYS_LIBRARY_FILE);
  if (library == nullptr) return names;
  const auto* image = reinterpret_cast<const uint8_t*>(library);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (directory.Size != 0) {
    const auto* exports =
        reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + directory.VirtualAddress);
    const auto* nameAddresses = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
      names.insert(reinterpret_cast<const char*>(image + nameAddresses[i]));
    }
  }
  FreeLibrary(library);
  return names;
}
#else
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
#endif

TEST(Abi, ExportsExactlyTheInterface) {
  const auto expected = expectedExports();
  ASSERT_FALSE(expected.empty());
  const auto actual = actualExports();
  ASSERT_FALSE(actual.empty()) << "could not read the dynamic symbols of " << PMTSYS_LIBRARY_FILE;
  for (const auto& name : expected) EXPECT_TRUE(actual.count(name)) << "missing: " << name;
  for (const auto& name : actual) EXPECT_TRUE(expected.count(name)) << "unexpected: " << name;
}

TEST(Abi, HeadersWorkFromC) {
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_E_FAIL), 1);
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_SHUTDOWN_POSTPONED), 0);
}

}  // namespace
