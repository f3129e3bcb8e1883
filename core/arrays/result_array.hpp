// Result buffers and the NumPy arrays that take them over without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace quorix {

// n doubles, owned until handed to a result array.
class ResultBuffer {
 public:
  ResultBuffer() = default;
  ResultBuffer(const ResultBuffer&) = delete;
  ResultBuffer& operator=(const ResultBuffer&) = delete;
  ~ResultBuffer();

  // Sizes the buffer once, for exactly n values; false with MemoryError set on failure.
  bool allocate(std::size_t n);
  double* data() const { return data_; }
  std::size_t size() const { return size_; }

  // A float64 array of length n whose base owns the buffer; nullptr with an exception set
  // (the buffer is then freed).
  PyObject* into_array();

 private:
  double* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quorix
