// A public function called on Python numbers or core-form arrays: the kernel without the ufunc
// machinery.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "kernels/table/kernels.hpp"
#include "python/guarded.hpp"

namespace quorix::ufuncs {

// The kernel on one option, or on core-form arrays, with the ufuncs' flag words and missing-data
// rule: a float (an array), or a 5-tuple of them for the combined Greeks. Each argument is a
// Python float or int (the flag an int or a word) or an exact one-dimensional contiguous ndarray
// of float64 (int8 for the flag) of a common length; NotImplemented for anything else, and the
// caller then takes the ufunc.
PyObject* direct_call(const KernelShape& shape, PyObject* const* args, Py_ssize_t nargs);

template <KernelId Id>
PyObject* direct_call_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded([&] { return direct_call(kernel_shape(Id), args, nargs); });
}

}  // namespace quorix::ufuncs
