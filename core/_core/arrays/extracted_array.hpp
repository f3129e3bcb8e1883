// An argument accepted as a one-dimensional NumPy array, referenced and read-borrowed until the
// holder goes out of scope.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

namespace quorix {

enum class ElementType { kFloat64, kInt8 };

class ExtractedArray {
 public:
  ExtractedArray() = default;
  ExtractedArray(const ExtractedArray&) = delete;
  ExtractedArray& operator=(const ExtractedArray&) = delete;
  ExtractedArray(ExtractedArray&& other) noexcept : array_(other.array_) { other.array_ = nullptr; }
  ExtractedArray& operator=(ExtractedArray&& other) noexcept;
  ~ExtractedArray() { release(); }

  // Accepts an ndarray (or subclass) of one dimension and the exact dtype; false with a
  // TypeError noted with the parameter's name, or the loading error of NumPy, otherwise.
  bool extract(PyObject* object, ElementType type, std::string_view parameter);

  // Pointer and count of a contiguous, aligned array; false with a TypeError otherwise.
  bool view(const void** data, std::size_t* count) const;

 private:
  void release();

  PyObject* array_ = nullptr;
};

}  // namespace quorix
