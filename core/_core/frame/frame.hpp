// The frame shared by every vector function: extract and view the inputs, check their lengths,
// run the block kernel serially or on the worker pool, and wrap the results.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "kernels/table/kernels.hpp"

namespace quorix {

// The whole vector call after argument matching: one argument per parameter in `slots`, in
// declaration order, the parameters named by `parameters` for the error notes. Returns the
// result array (a 5-tuple of arrays for the combined Greeks), or nullptr with an exception set.
PyObject* run_vector(KernelId kernel, const std::string_view* parameters, PyObject* const* slots);

}  // namespace quorix
