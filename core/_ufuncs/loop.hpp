// The inner loop of every public ufunc: strided NumPy columns in, the kernel table's block kernel
// over them, missing data out as NaN.
#pragma once

#include <cstdint>

#include "kernels/pool/pool.hpp"
#include "kernels/table/kernels.hpp"

namespace quorix::ufuncs {

// NumPy's inner-loop signature (npy_intp is intptr_t). `data` points at the kernel's shape in
// kKernelShapes. Runs on the worker pool above the kernel's threshold.
void strided_loop(char** args, const std::intptr_t* dimensions, const std::intptr_t* steps,
                  void* data);

// The same loop asking `interrupt` while it runs on the pool: false when it asked to stop, the
// outputs then incomplete. (NumPy's loops have no way to report an error for float types, so
// the ufuncs themselves run to the end.)
bool interruptible_loop(char** args, std::intptr_t n, const std::intptr_t* steps,
                        const KernelShape& shape, const pool::Interrupt& interrupt);

}  // namespace quorix::ufuncs
