// The table of the module's functions, in registration order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace quorix {

// One entry per row of the function table: the vector forms, then the scalar twins.
std::span<PyMethodDef> function_table();

}  // namespace quorix
