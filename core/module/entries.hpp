// The two generic entry points, instantiated once per function from its descriptor and kernel.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <tuple>
#include <utility>

#include "module/arguments.hpp"
#include "pricing/greeks.hpp"
#include "vector/frame.hpp"
#include "vector/kernel_traits.hpp"

namespace quorix {

inline bool convert_argument(PyObject* object, std::string_view parameter, double* value) {
  return convert_double(object, parameter, value);
}

inline bool convert_argument(PyObject* object, std::string_view parameter, bool* put) {
  signed char flag = 0;
  if (!convert_flag(object, parameter, &flag)) return false;
  *put = is_put(flag);
  return true;
}

inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

inline PyObject* to_python(const Greeks& greeks) {
  const double values[] = {greeks.delta, greeks.gamma, greeks.vega, greeks.theta, greeks.rho};
  PyObject* tuple = PyTuple_New(5);
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < 5; ++i) {
    PyObject* item = PyFloat_FromDouble(values[i]);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, i, item);
  }
  return tuple;
}

template <auto Kernel, std::size_t... I>
PyObject* call_scalar(const Descriptor& descriptor, PyObject** slots, std::index_sequence<I...>) {
  typename KernelTraits<decltype(Kernel)>::Arguments values;
  // Converted in declaration order; the first failure stops the call.
  if (!(convert_argument(slots[I], descriptor.parameters[I], &std::get<I>(values)) && ...)) {
    return nullptr;
  }
  return to_python(Kernel(std::get<I>(values)...));
}

template <const Descriptor& D, auto Kernel>
PyObject* scalar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Traits = KernelTraits<decltype(Kernel)>;
  static_assert(Traits::kArity == D.count, "the kernel takes one argument per parameter");
  PyObject* slots[kMaxParameters];
  if (!match_arguments(D, args, nargs, kwnames, slots)) return nullptr;
  return call_scalar<Kernel>(D, slots, std::make_index_sequence<Traits::kArity>{});
}

template <const Descriptor& D, auto Kernel, std::size_t ThresholdValue>
PyObject* vector_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(KernelTraits<decltype(Kernel)>::kArity == D.count,
                "the kernel takes one argument per parameter");
  PyObject* slots[kMaxParameters];
  if (!match_arguments(D, args, nargs, kwnames, slots)) return nullptr;
  return run_vector<Kernel, ThresholdValue>(D, slots);
}

}  // namespace quorix
