// A strong reference that is dropped when it goes out of scope.
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

}  // namespace quorix
