// The shared library exports exactly the names in exports.txt (read from the dynamic symbol table
// on Linux, from the export directory of the loaded DLL on Windows), and its headers work from C.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "pmtsys.h"

extern "C" int pmtsys_abi_c11_status_is_failure(csys_status status);

namespace {

using Names = std::set<std::string>;

#if defined(_WIN32)
Names actualExports() {
  Names names;
  const HMODULE library = LoadLibraryA(PMTSYS_LIBRARY_FILE);
  if (library == nullptr) return names;
  const auto* image = reinterpret_cast<const uint8_t*>(library);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  const auto* exports =
      reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image + directory.VirtualAddress);
  const auto* nameAddresses = reinterpret_cast<const DWORD*>(image + exports->AddressOfNames);
  for (DWORD i = 0; directory.Size != 0 && i < exports->NumberOfNames; ++i) {
    names.insert(reinterpret_cast<const char*>(image + nameAddresses[i]));
  }
  FreeLibrary(library);
  return names;
}
#else
Names actualExports() {
  Names names;
  const std::string command = std::string("nm -D --defined-only -j '") + PMTSYS_LIBRARY_FILE + "'";
  FILE* pipe = popen(command.c_str(), "r");
  char line[512];
  while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
    names.insert(std::string(line, std::strcspn(line, "\n")));
  }
  if (pipe != nullptr) pclose(pipe);
  return names;
}
#endif

TEST(Abi, ExportsExactlyTheInterfaceUsableFromC) {
  Names expected;
  std::ifstream in(PMTSYS_EXPORTS_FILE);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') expected.insert(line);
  }
  const Names actual = actualExports();
  ASSERT_FALSE(actual.empty()) << "could not read the exports of " << PMTSYS_LIBRARY_FILE;
  for (const auto& name : expected) EXPECT_TRUE(actual.count(name)) << "missing: " << name;
  for (const auto& name : actual) EXPECT_TRUE(expected.count(name)) << "unexpected: " << name;
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_E_FAIL), 1);
  EXPECT_EQ(pmtsys_abi_c11_status_is_failure(CSYS_SHUTDOWN_POSTPONED), 0);
}

}  // namespace
