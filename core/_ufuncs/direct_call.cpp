#include "_ufuncs/direct_call.hpp"

#include <cstddef>
#include <cstdint>

#include "_ufuncs/flags.hpp"
#include "_ufuncs/loop.hpp"
#include "_ufuncs/numpy.hpp"
#include "python/detached.hpp"
#include "python/owned_ref.hpp"
#include "python/result_blocks.hpp"

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
    if (item == nullptr)
      Py_CLEAR(tuple);
    else
      PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), item);
  }
  return tuple;
}

constexpr const char* kResultsName = "quorix results";

void release_results(PyObject* owner) {
  void* data = PyCapsule_GetPointer(owner, kResultsName);
  release_block(
      {static_cast<double*>(data), reinterpret_cast<std::size_t>(PyCapsule_GetContext(owner))});
}

// From this size on the results take a block that a later call may reuse (see result_blocks):
// NumPy's allocator would map and page-fault them afresh on every call.
constexpr std::size_t kReusedBytes = std::size_t{4} << 20;

// A new float64 array of n elements, or of `rows` rows of n for several outputs.
PyObject* new_results(std::size_t rows, npy_intp n) {
  npy_intp dimensions[2] = {static_cast<npy_intp>(rows), n};
  const int nd = rows == 1 ? 1 : 2;
  npy_intp* shape = rows == 1 ? &dimensions[1] : dimensions;
  const std::size_t count = rows * static_cast<std::size_t>(n);
  if (count * sizeof(double) < kReusedBytes) return PyArray_SimpleNew(nd, shape, NPY_FLOAT64);
  const Block block = take_block(count);
  if (block.data == nullptr) return PyErr_NoMemory();
  OwnedRef owner(PyCapsule_New(block.data, kResultsName, &release_results));
  if (!owner) {
    release_block(block);
    return nullptr;
  }
  if (PyCapsule_SetContext(owner.get(), reinterpret_cast<void*>(block.capacity)) != 0)
    return nullptr;
  OwnedRef array(PyArray_SimpleNewFromData(nd, shape, NPY_FLOAT64, block.data));
  if (!array) return nullptr;
  // Steals the reference, even on failure.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) != 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace

// Whether an array is a column of the core's form: an exact ndarray, one-dimensional, contiguous
// and aligned in native order, int8 for the flag and float64 otherwise.
bool core_form(PyArrayObject* array, bool flag) {
  return PyArray_NDIM(array) == 1 && PyArray_ISCARRAY_RO(array) && PyArray_ISNOTSWAPPED(array) &&
         PyArray_TYPE(array) == (flag ? NPY_INT8 : NPY_FLOAT64);
}

PyObject* direct_call(const KernelShape& shape, PyObject* const* args, Py_ssize_t nargs) {
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
  // machinery's cost per call. Several outputs are the rows of one array, one allocation: large
  // separate columns would each be mapped and page-faulted afresh on every call.
  OwnedRef block(new_results(shape.outputs, n));
  if (!block) return nullptr;
  char* data = PyArray_BYTES(reinterpret_cast<PyArrayObject*>(block.get()));
  for (std::size_t j = 0; j < shape.outputs; ++j) {
    columns[shape.columns + j] =
        data + static_cast<npy_intp>(j) * n * static_cast<npy_intp>(sizeof(double));
    steps[shape.columns + j] = sizeof(double);
  }
  if (static_cast<std::size_t>(n) >= shape.threshold) {
    Detached detached;
    if (!interruptible_loop(columns, n, steps, shape, detached.interrupt())) return nullptr;
  } else {
    strided_loop(columns, &n, steps, const_cast<KernelShape*>(&shape));
  }
  if (shape.outputs == 1) return block.release();
  OwnedRef tuple(PyTuple_New(static_cast<Py_ssize_t>(shape.outputs)));
  for (std::size_t j = 0; tuple && j < shape.outputs; ++j) {
    PyObject* row = PySequence_GetItem(block.get(), static_cast<Py_ssize_t>(j));
    if (row == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(j), row);
  }
  return tuple.release();
}

}  // namespace quorix::ufuncs
