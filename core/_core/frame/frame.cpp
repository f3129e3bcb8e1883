#include "_core/frame/frame.hpp"

#include <array>
#include <string>

#include "_core/arrays/extracted_array.hpp"
#include "_core/arrays/result_array.hpp"
#include "kernels/pool/parallel_map.hpp"
#include "python/detached.hpp"

namespace quorix {

namespace {

std::string mismatched_lengths(const std::size_t* counts, std::size_t arity) {
  std::string message = "input arrays have mismatched lengths: [";
  for (std::size_t i = 0; i < arity; ++i) {
    if (i > 0) message += ", ";
    message += std::to_string(counts[i]);
  }
  return message + "]";
}

// Each worker writes its leaf ranges straight into the result buffers. False when a signal
// handler raised: the results are then incomplete.
bool map_in_parallel(BlockKernel kernel, const Columns& columns, std::size_t n) {
  Detached detached;
  return parallel_ranges(
      n, [&](std::size_t start, std::size_t end) { kernel(columns, start, end); },
      detached.interrupt());
}

}  // namespace

// The extracted inputs are released in reverse argument order when `inputs` goes out of scope,
// on every path.
PyObject* run_vector(KernelId kernel, const std::string_view* parameters, PyObject* const* slots) {
  const KernelShape& shape = kernel_shape(kernel);
  std::array<ExtractedArray, kMaxColumns> inputs;
  for (std::size_t i = 0; i < shape.columns; ++i) {
    const ElementType type =
        static_cast<int>(i) == shape.flag ? ElementType::kInt8 : ElementType::kFloat64;
    if (!inputs[i].extract(slots[i], type, parameters[i])) return nullptr;
  }
  Columns columns{};
  std::size_t counts[kMaxColumns] = {};
  for (std::size_t i = 0; i < shape.columns; ++i) {
    if (!inputs[i].view(&columns.inputs[i], &counts[i])) return nullptr;
  }
  const std::size_t n = counts[0];
  for (std::size_t i = 1; i < shape.columns; ++i) {
    if (counts[i] != n) {
      PyErr_SetString(PyExc_ValueError, mismatched_lengths(counts, shape.columns).c_str());
      return nullptr;
    }
  }
  ResultBuffer results;
  if (!results.allocate(n, shape.outputs)) return nullptr;
  for (std::size_t j = 0; j < shape.outputs; ++j) columns.outputs[j] = results.column(j);
  const BlockKernel block = kernel_table().kernels[static_cast<int>(kernel)];
  if (n >= shape.threshold) {
    if (!map_in_parallel(block, columns, n)) return nullptr;
  } else {
    block(columns, 0, n);
  }
  return results.into_result();
}

}  // namespace quorix
