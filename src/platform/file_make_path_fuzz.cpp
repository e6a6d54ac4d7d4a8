// Fuzzing the path joining: any bytes in, every promise of the join checked.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "csys_file.h"
#include "platform/file_internal.h"

bool csys_fileMakePath_fuzzInput(const uint8_t* data, size_t size) {
  if (size == 0) return true;
  const int32_t bufferSize = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = rest.find('\0');
  const std::string directory = rest.substr(0, split);
  const std::string name = split == std::string::npos ? std::string() : rest.substr(split + 1);
  // The uncut join: the directory, one separator and the name always fit.
  std::vector<char> whole(directory.size() + name.size() + 2);
  csys_fileMakePath(directory.c_str(), name.c_str(), static_cast<int32_t>(whole.size()),
                    whole.data());
  // Exactly the buffer's size, so that a sanitizer sees any write beyond it.
  std::vector<char> cut(static_cast<size_t>(bufferSize));
  char* const out = cut.empty() ? nullptr : cut.data();
  if (csys_fileMakePath(directory.c_str(), name.c_str(), bufferSize, out) != out) return false;
  if (bufferSize == 0) return true;
  const auto length = static_cast<size_t>(std::find(cut.begin(), cut.end(), '\0') - cut.begin());
  return length < cut.size() && std::strncmp(out, whole.data(), length) == 0 &&
         (whole[length] == '\0' || length == cut.size() - 1);
}
