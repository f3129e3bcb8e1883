// The block kernels of the 16 functions: one table per instruction-set target, each entry
// evaluating a range of elements of the call's columns.
#pragma once

#include <cstddef>

namespace quorix {

inline constexpr std::size_t kMaxColumns = 7;
inline constexpr std::size_t kMaxOutputs = 5;

// The columns of one call: inputs in parameter order (int8 for the flag, float64 otherwise) and
// one output, or five for the combined Greeks.
struct Columns {
  const void* inputs[kMaxColumns];
  double* outputs[kMaxOutputs];
};

// Evaluates elements [begin, end), writing each result into its own slot of every output.
using BlockKernel = void (*)(const Columns& columns, std::size_t begin, std::size_t end);

// One row per kernel: its name, the lane kernel, the outputs, and the column kinds (F: flag,
// N: number).
#define QUORIX_KERNELS(X)                                       \
  X(bsm_price, option_price, 1, F, N, N, N, N, N, N)            \
  X(bsm_delta, option_delta, 1, F, N, N, N, N, N, N)            \
  X(bsm_gamma, option_gamma, 1, N, N, N, N, N, N)               \
  X(bsm_vega, option_vega, 1, N, N, N, N, N, N)                 \
  X(bsm_theta, option_theta, 1, F, N, N, N, N, N, N)            \
  X(bsm_rho, option_rho, 1, F, N, N, N, N, N, N)                \
  X(bsm_greeks, option_greeks, 5, F, N, N, N, N, N, N)          \
  X(bsm_iv, implied_volatility, 1, N, F, N, N, N, N, N)         \
  X(black76_price, black76_price, 1, F, N, N, N, N, N)          \
  X(black76_delta, black76_delta, 1, F, N, N, N, N, N)          \
  X(black76_gamma, black76_gamma, 1, N, N, N, N, N)             \
  X(black76_vega, black76_vega, 1, N, N, N, N, N)               \
  X(black76_theta, black76_theta, 1, F, N, N, N, N, N)          \
  X(black76_rho, black76_rho, 1, F, N, N, N, N, N)              \
  X(black76_greeks, black76_option_greeks, 5, F, N, N, N, N, N) \
  X(black76_iv, black76_implied_volatility, 1, N, F, N, N, N, N)

enum class KernelId : int {
#define QUORIX_KERNEL_ID(NAME, ...) NAME,
  QUORIX_KERNELS(QUORIX_KERNEL_ID)
#undef QUORIX_KERNEL_ID
};

inline constexpr std::size_t kKernelCount = 16;

// What the frame needs to know of a kernel: its columns and where the flag is.
struct KernelShape {
  std::size_t columns;
  int flag;  // column index of the flag, or -1
  std::size_t outputs;
};

namespace shape {
enum Kind { F, N };
template <class... Kinds>
constexpr KernelShape of(std::size_t outputs, Kinds... kinds) {
  const Kind list[] = {kinds...};
  int flag = -1;
  for (std::size_t i = 0; i < sizeof...(kinds); ++i) {
    if (list[i] == F) flag = static_cast<int>(i);
  }
  return {sizeof...(kinds), flag, outputs};
}

inline constexpr KernelShape kAll[kKernelCount] = {
#define QUORIX_KERNEL_SHAPE(NAME, KERNEL, OUTPUTS, ...) of(OUTPUTS, __VA_ARGS__),
    QUORIX_KERNELS(QUORIX_KERNEL_SHAPE)
#undef QUORIX_KERNEL_SHAPE
};
}  // namespace shape

inline constexpr const KernelShape& kernel_shape(KernelId id) {
  return shape::kAll[static_cast<int>(id)];
}

struct KernelTable {
  const char* target;
  BlockKernel kernels[kKernelCount];
};

// The table of the widest target this processor runs, chosen once on first use.
const KernelTable& kernel_table();

}  // namespace quorix
