// Names for named kernel objects that no other test process uses at the same time.
#pragma once

#include <string>

namespace pmtsys_test {

std::string uniqueName(const std::string& prefix);

}  // namespace pmtsys_test
