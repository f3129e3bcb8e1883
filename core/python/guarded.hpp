// The last line of defence at the boundary: no C++ exception crosses into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>

namespace quorix {

// Calls f(); an exception it throws becomes MemoryError (std::bad_alloc) or RuntimeError. Every
// resource on the way is released by its owner's destructor as the exception unwinds.
template <class F>
PyObject* guarded(F&& f) noexcept {
  try {
    return f();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
    return nullptr;
  }
}

}  // namespace quorix
