// The module definition and its execution step.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/owned_ref.hpp"
#include "_core/module/functions.hpp"

namespace quorix {

namespace {

constexpr const char* kDescription =
    "quorix core: BSM pricing, Greeks, implied volatility.";
constexpr const char* kVersion = QUORIX_VERSION;  // the package's, from pyproject.toml

// Appends the name to __all__ (created on first use) and sets the attribute; steals value.
int add_exported(PyObject* module, PyObject* name, PyObject* value) {
  OwnedRef owned_value(value);
  if (!owned_value) return -1;
  OwnedRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = OwnedRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name) != 0) return -1;
  return PyObject_SetAttr(module, name, owned_value.get());
}

int add_exported(PyObject* module, const char* name, PyObject* value) {
  OwnedRef owned_value(value);
  OwnedRef key(PyUnicode_FromString(name));
  if (!key) return -1;
  return add_exported(module, key.get(), owned_value.release());
}

int execute(PyObject* module) {
  if (add_exported(module, "__doc__", PyUnicode_FromString(kDescription)) != 0) return -1;
  if (add_exported(module, "__version__", PyUnicode_FromString(kVersion)) != 0) return -1;
  OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& definition : function_table()) {
    OwnedRef function(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    if (!function) return -1;
    OwnedRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
      return -1;
    }
    if (add_exported(module, name.get(), function.release()) != 0) return -1;
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
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quorix

PyMODINIT_FUNC PyInit__core() { return PyModuleDef_Init(&quorix::definition); }
