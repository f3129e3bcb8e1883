// Result buffers and the NumPy arrays that take them over without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace quorix {

// The results of one call, `outputs` columns of n doubles in one allocation, owned until handed
// to the result arrays. One allocation, not one per column: glibc returns a freed top of heap to
// the system once it exceeds twice the largest freed block, so five separate columns of a few
// hundred kB are page-faulted afresh on every call, while one block of their total stays mapped.
class ResultBuffer {
 public:
  ResultBuffer() = default;
  ResultBuffer(const ResultBuffer&) = delete;
  ResultBuffer& operator=(const ResultBuffer&) = delete;
  ~ResultBuffer();

  // Sizes the buffer once, for exactly `outputs` columns of n values; false with MemoryError
  // set on failure.
  bool allocate(std::size_t n, std::size_t outputs);
  double* column(std::size_t j) const { return data_ + j * size_; }

  // A float64 array of length n per column, a tuple of them for several, all sharing one base
  // that owns the buffer; nullptr with an exception set (the buffer is then freed).
  PyObject* into_result();

 private:
  double* data_ = nullptr;
  std::size_t capacity_ = 0;  // doubles allocated, at least size_ * outputs_
  std::size_t size_ = 0;
  std::size_t outputs_ = 0;
};

}  // namespace quorix
