// The public engine: the functions of the kernel table as NumPy ufuncs, and the flag words'
// converter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <iterator>

#include "_ufuncs/direct_call.hpp"
#include "_ufuncs/flags.hpp"
#include "_ufuncs/loop.hpp"
#include "kernels/pool/pool.hpp"
#include "kernels/simd/targets.hpp"
#include "python/owned_ref.hpp"
#define QUORIX_IMPORTS_NUMPY
#include "_ufuncs/numpy.hpp"

namespace quorix::ufuncs {

namespace {

using Types = std::array<char, kMaxColumns + kMaxOutputs>;

// Each ufunc's one loop: int8 for the flag, float64 for every other input and every output.
constexpr std::array<Types, kKernelCount> loop_types() {
  std::array<Types, kKernelCount> all{};
  for (std::size_t k = 0; k < kKernelCount; ++k) {
    const KernelShape& shape = kKernelShapes[k];
    for (std::size_t i = 0; i < shape.columns + shape.outputs; ++i) {
      all[k][i] = static_cast<char>(static_cast<int>(i) == shape.flag ? NPY_INT8 : NPY_FLOAT64);
    }
  }
  return all;
}

// NumPy keeps pointers into these for the life of each ufunc.
constexpr std::array<Types, kKernelCount> kTypes = loop_types();
PyUFuncGenericFunction loops[] = {&strided_loop};
void* kernel_data[kKernelCount][1] = {
#define QUORIX_KERNEL_DATA(NAME, ...) {const_cast<KernelShape*>(&kernel_shape(KernelId::NAME))},
    QUORIX_KERNELS(QUORIX_KERNEL_DATA)
#undef QUORIX_KERNEL_DATA
};

constexpr const char* kDescription =
    "quorix's public engine: option prices, Greeks and implied volatilities as NumPy ufuncs.";

// targets(): (name, compiled, runs, chosen) for each instruction-set target of the kernels.
PyObject* targets(PyObject*, PyObject*) {
  constexpr std::size_t count = std::size(kTargets);
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  for (std::size_t i = 0; list && i < count; ++i) {
    const TargetStatus status = target_status(i);
    PyObject* row =
        Py_BuildValue("(s#OOO)", status.name.data(), static_cast<Py_ssize_t>(status.name.size()),
                      status.compiled ? Py_True : Py_False, status.runs ? Py_True : Py_False,
                      status.chosen ? Py_True : Py_False);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), row);
  }
  return list.release();
}

// kernels(): (name, parameters, outputs, threshold) for each row of the kernel table, where
// threshold is the smallest length that runs on the worker pool.
PyObject* kernels(PyObject*, PyObject*) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(kKernelCount)));
  for (std::size_t k = 0; list && k < kKernelCount; ++k) {
    const KernelShape& shape = kKernelShapes[k];
    PyObject* row = Py_BuildValue(
        "(s#s#nn)", shape.name.data(), static_cast<Py_ssize_t>(shape.name.size()),
        shape.parameters.data(), static_cast<Py_ssize_t>(shape.parameters.size()),
        static_cast<Py_ssize_t>(shape.outputs), static_cast<Py_ssize_t>(shape.threshold));
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), row);
  }
  return list.release();
}

// set_num_threads(n): the most threads a call may use from now on (n >= 1).
PyObject* set_num_threads(PyObject*, PyObject* argument) {
  const long threads = PyLong_AsLong(argument);
  if (threads == -1 && PyErr_Occurred()) return nullptr;
  if (threads < 1) {
    PyErr_Format(PyExc_ValueError, "the number of threads must be at least 1, got %ld", threads);
    return nullptr;
  }
  pool::set_thread_limit(static_cast<std::size_t>(threads));
  Py_RETURN_NONE;
}

PyObject* get_num_threads(PyObject*, PyObject*) {
  return PyLong_FromSize_t(pool::thread_limit());
}

PyMethodDef methods[] = {
    {"set_num_threads", &set_num_threads, METH_O,
     "set_num_threads(n)\n--\n\nThe most threads a call may use from now on (n >= 1)."},
    {"get_num_threads", &get_num_threads, METH_NOARGS,
     "get_num_threads()\n--\n\nThe most threads a call may use: the limit, else the pool's size."},
    {"kernels", &kernels, METH_NOARGS,
     "kernels()\n--\n\n(name, parameters, outputs, threshold) for each row of the kernel table."},
    {"targets", &targets, METH_NOARGS,
     "targets()\n--\n\n(name, compiled, runs, chosen) for each instruction-set target of the "
     "kernels, narrowest first."},
#define QUORIX_DIRECT_CALL(NAME, ...)                                     \
  {#NAME "_direct",                                                       \
   reinterpret_cast<PyCFunction>(                                         \
       reinterpret_cast<void (*)()>(&direct_call_entry<KernelId::NAME>)), \
   METH_FASTCALL,                                                         \
   #NAME "_direct(*args)\n--\n\nPython numbers or core-form arrays, or NotImplemented."},
    QUORIX_KERNELS(QUORIX_DIRECT_CALL)
#undef QUORIX_DIRECT_CALL
        {"flag_codes", &flag_codes, METH_O,
         "flag_codes(words)\n--\n\nint8 flags (-1 put, 1 call) of an array of the words "
         "'c', 'call', 'p', 'put' in any case."},
    {"utf8_flag_codes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&utf8_flag_codes)), METH_FASTCALL,
     "utf8_flag_codes(offsets, data)\n--\n\nint8 flags of the UTF-8 words "
     "data[offsets[i]:offsets[i + 1]] (an Arrow string column's buffers)."},
    {nullptr, nullptr, 0, nullptr},
};

int execute(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0 || PyUFunc_ImportUFuncAPI() < 0) return -1;
  for (std::size_t k = 0; k < kKernelCount; ++k) {
    const KernelShape& shape = kKernelShapes[k];
    const char* name = shape.name.data();  // a string literal, as NumPy keeps the pointer
    OwnedRef ufunc(PyUFunc_FromFuncAndData(
        loops, kernel_data[k], kTypes[k].data(), 1, static_cast<int>(shape.columns),
        static_cast<int>(shape.outputs), PyUFunc_None, name, "", 0));
    if (!ufunc || PyModule_AddObjectRef(module, name, ufunc.get()) != 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_ufuncs", kDescription, 0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorix::ufuncs

PyMODINIT_FUNC PyInit__ufuncs() {
  return PyModuleDef_Init(&quorix::ufuncs::definition);
}
