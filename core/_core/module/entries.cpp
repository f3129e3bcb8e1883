#include "_core/module/entries.hpp"

namespace quorix {

namespace {

PyObject* to_python(const double* results, std::size_t outputs) {
  if (outputs == 1) return PyFloat_FromDouble(results[0]);
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(outputs));
  if (tuple == nullptr) return nullptr;
  for (std::size_t j = 0; j < outputs; ++j) {
    PyObject* item = PyFloat_FromDouble(results[j]);
    if (item == nullptr) {
      Py_DECREF(tuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), item);
  }
  return tuple;
}

}  // namespace

PyObject* run_scalar(KernelId kernel, const Descriptor& descriptor, PyObject* const* slots) {
  const KernelShape& shape = kernel_shape(kernel);
  double numbers[kMaxColumns];
  signed char flag = 0;
  Columns columns{};
  for (std::size_t i = 0; i < shape.columns; ++i) {
    const std::string_view parameter = descriptor.parameters[i];
    if (static_cast<int>(i) == shape.flag) {
      if (!convert_flag(slots[i], parameter, &flag)) return nullptr;
      columns.inputs[i] = &flag;
    } else {
      if (!convert_double(slots[i], parameter, &numbers[i])) return nullptr;
      columns.inputs[i] = &numbers[i];
    }
  }
  double results[kMaxOutputs];
  for (std::size_t j = 0; j < shape.outputs; ++j) columns.outputs[j] = &results[j];
  kernel_table().kernels[static_cast<int>(kernel)](columns, 0, 1);
  return to_python(results, shape.outputs);
}

}  // namespace quorix
