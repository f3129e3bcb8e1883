// The table of the module's functions, in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace quorix {

inline constexpr std::size_t kFunctionCount = 32;

extern PyMethodDef functions[kFunctionCount];

}  // namespace quorix
