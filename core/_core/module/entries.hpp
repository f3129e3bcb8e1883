// The two generic entry points, instantiated once per function from its descriptor and kernel.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "_core/frame/frame.hpp"
#include "_core/module/arguments.hpp"
#include "kernels/table/kernels.hpp"
#include "python/guarded.hpp"

namespace quorix {

// The scalar call: the arguments converted in declaration order (the first failure stops the
// call), then the kernel run on a one-element column each, as the vector form runs it.
PyObject* run_scalar(KernelId kernel, const Descriptor& descriptor, PyObject* const* slots);

template <const Descriptor& D, KernelId Kernel>
PyObject* scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(kernel_shape(Kernel).columns == D.count, "one column per parameter");
  PyObject* slots[kMaxParameters];
  if (!match_arguments(D, args, nargs, kwnames, slots)) return nullptr;
  return guarded([&] { return run_scalar(Kernel, D, slots); });
}

template <const Descriptor& D, KernelId Kernel>
PyObject* vector_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(kernel_shape(Kernel).columns == D.count, "one column per parameter");
  PyObject* slots[kMaxParameters];
  if (!match_arguments(D, args, nargs, kwnames, slots)) return nullptr;
  return guarded([&] { return run_vector(Kernel, D.parameters.data(), slots); });
}

}  // namespace quorix
