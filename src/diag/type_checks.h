// Definitions of the empty type-check functions that callers' macros take the addresses of.
#pragma once

#include "csys_status.h"

#define CSYS_DEFINE_TYPE_CHECKS(T)                                      \
  extern "C" {                                                          \
  CSYS_API void csys_typeCheck_##T(const T*) {}                         \
  CSYS_API void csys_typeCheckPtr_##T(T* const*) {}                     \
  CSYS_API void csys_typeCheckFunc_##T(csys_status (*)(T*)) {}          \
  CSYS_API void csys_typeCheckFuncPtr_##T(csys_status (*const*)(T*)) {} \
  }
