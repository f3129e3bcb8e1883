#include "_ufuncs/one_option.hpp"

#include <cstddef>
#include <cstdint>

#include "_ufuncs/flags.hpp"
#include "_ufuncs/loop.hpp"

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

PyObject* one_option(const KernelShape& shape, PyObject* const* args, Py_ssize_t nargs) {
  if (static_cast<std::size_t>(nargs) != shape.columns) Py_RETURN_NOTIMPLEMENTED;
  double numbers[kMaxColumns];
  signed char flag = 0;
  char* columns[kMaxColumns + kMaxOutputs];
  for (std::size_t i = 0; i < shape.columns; ++i) {
    PyObject* object = args[i];
    if (static_cast<int>(i) == shape.flag) {
      flag = python_flag(object);
      if (flag == 0) {
        if (PyErr_Occurred()) return nullptr;
        Py_RETURN_NOTIMPLEMENTED;
      }
      columns[i] = reinterpret_cast<char*>(&flag);
      continue;
    }
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
  double results[kMaxOutputs];
  for (std::size_t j = 0; j < shape.outputs; ++j) {
    columns[shape.columns + j] = reinterpret_cast<char*>(&results[j]);
  }
  const std::intptr_t one = 1, steps[kMaxColumns + kMaxOutputs] = {};
  strided_loop(columns, &one, steps, const_cast<KernelShape*>(&shape));
  return to_python(results, shape.outputs);
}

}  // namespace quorix::ufuncs
