#include "_ufuncs/one_option.hpp"

#include <cstddef>
#include <cstdint>

#include "_ufuncs/flags.hpp"
#include "_ufuncs/loop.hpp"
#include "_ufuncs/numpy.hpp"
#include "python/detached.hpp"
#include "python/owned_ref.hpp"

namespace quorix::ufuncs {

namespace {

// The flag of a Python int (its sign) or word; 0 with no exception set when the argument is
// neither, 0 with an exception set for a word that is not a flag.
signed char python_flag(PyObject* object) {
  if (PyLong_CheckExact(object)) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(object, &overflow);
    return overflow < 0 || value < 0 ? -1 : 1;
  }
  if (!PyUnicode_Check(object)) return 0;
  const signed char flag = word_flag(object);
  if (flag == 0) {
    PyErr_Format(PyExc_ValueError, "flag must be 'c', 'call', 'p' or 'put' (any case), got %R",
                 object);
  }
  return flag;
}

PyObject* to_python(const double* values, std::size_t count) {
  if (count == 1) return PyFloat_FromDouble(values[0]);
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(count));
  for (std::size_t j = 0; tuple != nullptr && j < count; ++j) {
    PyObject* item = PyFloat_FromDouble(values[j]);
    if (item == nullptr) Py_CLEAR(tuple);
    else PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), item);
  }
  return tuple;
}

}  // namespace

// Whether an array is a column of the core's form: an exact ndarray, one-dimensional, contiguous
// and aligned in native order, int8 for the flag and float64 otherwise.
bool core_form(PyArrayObject* array, bool flag) {
  return PyArray_NDIM(array) == 1 && PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array) &&
         PyArray_TYPE(array) == (flag ? NPY_INT8 : NPY_FLOAT64);
}

PyObject* one_option(const KernelShape& shape, PyObject* const* args, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) != shape.columns) Py_RETURN_NOTIMPLEMENTED;
  double numbers[kMaxColumns];
  signed char flag = 0;
  char* columns[kMaxColumns + kMaxOutputs];
  std::intptr_t steps[kMaxColumns + kMaxOutputs] = {};  // 0: a number, read for every row
  npy_intp n = -1;  // the arrays' common length, -1 without arrays
  for (std::size_t i = 0; i < shape.columns; ++i) {
    PyObject* object = args[i];
    const bool is_flag = static_cast<int>(i) == shape.flag;
    if (PyArray_CheckExact(object)) {
      auto* array = reinterpret_cast<PyArrayObject*>(object);
      if (!core_form(array, is_flag) || (n >= 0 && PyArray_DIM(array, 0) != n)) {
        Py_RETURN_NOTIMPLEMENTED;
      }
      n = PyArray_DIM(array, 0);
      columns[i] = PyArray_BYTES(array);
      steps[i] = PyArray_ITEMSIZE(array);
    } else if (is_flag) {
      flag = python_flag(object);
      if (flag == 0) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
      }
      columns[i] = reinterpret_cast<char*>(&flag);
    } else {
      if (PyFloat_CheckExact(object)) {
        numbers[i] = PyFloat_AS_DOUBLE(object);
      } else if (PyLong_CheckExact(object)) {
        numbers[i] = PyLong_AsDouble(object);
        if (numbers[i] == -1.0 && PyErr_Occurred()) return nullptr;
      } else {
        Py_RETURN_NOTIMPLEMENTED;
      }
      columns[i] = reinterpret_cast<char*>(&numbers[i]);
    }
  }
  if (n < 0) {  // numbers only: a float, or a 5-tuple of floats
    double results[kMaxOutputs];
    for (std::size_t j = 0; j < shape.outputs; ++j) {
      columns[shape.columns + j] = reinterpret_cast<char*>(&results[j]);
    }
    const std::intptr_t one = 1;
    strided_loop(columns, &one, steps, const_cast<KernelShape*>(&shape));
    return to_python(results, shape.outputs);
  }
  // Core-form columns, with numbers read for every row: new float64 arrays, without the ufunc
  // machinery's cost per call.
  OwnedRef outputs[kMaxOutputs];
  for (std::size_t j = 0; j < shape.outputs; ++j) {
    outputs[j] = OwnedRef(PyArray_SimpleNew(1, &n, NPY_FLOAT64));
    if (!outputs[j]) return nullptr;
    columns[shape.columns + j] = PyArray_BYTES(reinterpret_cast<PyArrayObject*>(outputs[j].get()));
    steps[shape.columns + j] = sizeof(double);
  }
  if (static_cast<std::size_t>(n) >= shape.threshold) {
    Detached detached;
    if (!interruptible_loop(columns, n, steps, shape, detached.interrupt())) return nullptr;
  } else {
    strided_loop(columns, &n, steps, const_cast<KernelShape*>(&shape));
  }
  if (shape.outputs == 1) return outputs[0].release();
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(shape.outputs));
  if (tuple == nullptr) return nullptr;
  for (std::size_t j = 0; j < shape.outputs; ++j) {
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), outputs[j].release());
  }
  return tuple;
}

}  // namespace quorix::ufuncs
