// Strong references and the pending exception, held for a scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace quorix {

class OwnedRef {
 public:
  explicit OwnedRef(PyObject* object = nullptr) : object_(object) {}
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.release();
    }
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_;
};

// Takes the pending exception off the thread for the scope and sets it again at the end, so
// that code run meanwhile (another module's callbacks, Python code) neither sees nor clears it.
class SavedError {
 public:
  SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
    exception_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &exception_, &traceback_);
    PyErr_NormalizeException(&type_, &exception_, &traceback_);
#endif
  }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  ~SavedError() {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_);
#else
    PyErr_Restore(type_, exception_, traceback_);
#endif
  }

  PyObject* exception() const { return exception_; }

 private:
  PyObject* exception_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
};

}  // namespace quorix
