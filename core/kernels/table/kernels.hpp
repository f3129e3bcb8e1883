// The block kernels of the public functions (the first 16 are also the core's): one table per
// instruction-set target, each entry evaluating a range of elements of the call's columns. Each
// row says all a front end needs to know of a function: its parameters (one column each), its
// outputs and its parallel threshold.
#pragma once

#include <cstddef>
#include <string_view>

#include "kernels/simd/api.hpp"

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

// Smallest n that runs on the worker pool, by cost per element.
enum Threshold : std::size_t {
  kImpliedVolatilityThreshold = 1024,
  kCombinedGreeksThreshold = 4096,
  kPriceThreshold = 8192,
  kSingleGreekThreshold = 16384,
};

#define QUORIX_BSM_FLAGGED "flag, s, k, t, r, q, sigma"
#define QUORIX_BSM_PLAIN "s, k, t, r, q, sigma"
#define QUORIX_BSM_IV "target_price, flag, s, k, t, r, q"
#define QUORIX_B76_FLAGGED "flag, f, k, t, r, sigma"
#define QUORIX_B76_PLAIN "f, k, t, r, sigma"
#define QUORIX_B76_IV "target_price, flag, f, k, t, r"

// One row per kernel: its name, the lane kernel, the outputs, the threshold and the parameters.
// A Black-76 row names its BSM lane kernel, which runs with s = f and q = r.
#define QUORIX_KERNELS(X)                                                                       \
  X(bsm_price, option_price, 1, kPriceThreshold, QUORIX_BSM_FLAGGED)                            \
  X(bsm_delta, option_delta, 1, kSingleGreekThreshold, QUORIX_BSM_FLAGGED)                      \
  X(bsm_gamma, option_gamma, 1, kSingleGreekThreshold, QUORIX_BSM_PLAIN)                        \
  X(bsm_vega, option_vega, 1, kSingleGreekThreshold, QUORIX_BSM_PLAIN)                          \
  X(bsm_theta, option_theta, 1, kSingleGreekThreshold, QUORIX_BSM_FLAGGED)                      \
  X(bsm_rho, option_rho, 1, kSingleGreekThreshold, QUORIX_BSM_FLAGGED)                          \
  X(bsm_greeks, option_greeks, 5, kCombinedGreeksThreshold, QUORIX_BSM_FLAGGED)                 \
  X(bsm_iv, implied_volatility, 1, kImpliedVolatilityThreshold, QUORIX_BSM_IV)                  \
  X(black76_price, option_price, 1, kPriceThreshold, QUORIX_B76_FLAGGED)                        \
  X(black76_delta, option_delta, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)                  \
  X(black76_gamma, option_gamma, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                    \
  X(black76_vega, option_vega, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                      \
  X(black76_theta, option_theta, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)                  \
  X(black76_rho, black76_rho, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)                     \
  X(black76_greeks, black76_option_greeks, 5, kCombinedGreeksThreshold, QUORIX_B76_FLAGGED)     \
  X(black76_iv, implied_volatility, 1, kImpliedVolatilityThreshold, QUORIX_B76_IV)              \
  X(bsm_vanna, option_vanna, 1, kSingleGreekThreshold, QUORIX_BSM_PLAIN)                        \
  X(bsm_volga, option_volga, 1, kSingleGreekThreshold, QUORIX_BSM_PLAIN)                        \
  X(bsm_charm, option_charm, 1, kSingleGreekThreshold, QUORIX_BSM_FLAGGED)                      \
  X(bsm_speed, option_speed, 1, kSingleGreekThreshold, QUORIX_BSM_PLAIN)                        \
  X(bsm_dividend_rho, option_dividend_rho, 1, kSingleGreekThreshold, QUORIX_BSM_FLAGGED)        \
  X(bsm_second_order, option_second_order, 4, kCombinedGreeksThreshold, QUORIX_BSM_FLAGGED)     \
  X(black76_vanna, option_vanna, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                    \
  X(black76_volga, option_volga, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                    \
  X(black76_charm, option_charm, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)                  \
  X(black76_speed, option_speed, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                    \
  X(black76_second_order, option_second_order, 4, kCombinedGreeksThreshold, QUORIX_B76_FLAGGED) \
  X(bachelier_price, bachelier_price, 1, kPriceThreshold, QUORIX_B76_FLAGGED)                   \
  X(bachelier_delta, bachelier_delta, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)             \
  X(bachelier_gamma, bachelier_gamma, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)               \
  X(bachelier_vega, bachelier_vega, 1, kSingleGreekThreshold, QUORIX_B76_PLAIN)                 \
  X(bachelier_theta, bachelier_theta, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)             \
  X(bachelier_rho, bachelier_rho, 1, kSingleGreekThreshold, QUORIX_B76_FLAGGED)                 \
  X(bachelier_greeks, bachelier_greeks, 5, kCombinedGreeksThreshold, QUORIX_B76_FLAGGED)        \
  X(bachelier_iv, bachelier_iv, 1, kImpliedVolatilityThreshold, QUORIX_B76_IV)

enum class KernelId : int {
#define QUORIX_KERNEL_ID(NAME, ...) NAME,
  QUORIX_KERNELS(QUORIX_KERNEL_ID)
#undef QUORIX_KERNEL_ID
};

inline constexpr std::size_t kKernelCount = 0
#define QUORIX_KERNEL_ONE(...) +1
    QUORIX_KERNELS(QUORIX_KERNEL_ONE)
#undef QUORIX_KERNEL_ONE
    ;

inline constexpr int kNoColumn = -1;

// What a front end needs to know of a kernel, read off its row.
struct KernelShape {
  std::string_view name;
  std::string_view parameters;  // "flag, s, k", as callers name them
  std::size_t columns;
  int flag;   // column of the flag, or kNoColumn
  int r;      // column of the rate
  int t;      // column of the time to expiry
  int sigma;  // column of the volatility, or kNoColumn
  std::size_t outputs;
  std::size_t threshold;
};

// The name of parameter `index` of a list "flag, s, k".
constexpr std::string_view parameter_name(std::string_view list, std::size_t index) {
  for (; index > 0; --index) list = list.substr(list.find(", ") + 2);
  return list.substr(0, list.find(", "));
}

constexpr KernelShape describe_kernel(std::string_view name, std::string_view parameters,
                                      std::size_t outputs, std::size_t threshold) {
  KernelShape shape{name,      parameters, 1,       kNoColumn, kNoColumn,
                    kNoColumn, kNoColumn,  outputs, threshold};
  for (char c : parameters) shape.columns += c == ',';
  for (std::size_t i = 0; i < shape.columns; ++i) {
    const std::string_view parameter = parameter_name(parameters, i);
    const int column = static_cast<int>(i);
    if (parameter == "flag") shape.flag = column;
    if (parameter == "r") shape.r = column;
    if (parameter == "t") shape.t = column;
    if (parameter == "sigma") shape.sigma = column;
  }
  return shape;
}

inline constexpr KernelShape kKernelShapes[kKernelCount] = {
#define QUORIX_KERNEL_SHAPE(NAME, KERNEL, OUTPUTS, THRESHOLD, PARAMETERS) \
  describe_kernel(#NAME, PARAMETERS, OUTPUTS, THRESHOLD),
    QUORIX_KERNELS(QUORIX_KERNEL_SHAPE)
#undef QUORIX_KERNEL_SHAPE
};

constexpr const KernelShape& kernel_shape(KernelId id) {
  return kKernelShapes[static_cast<int>(id)];
}

struct KernelTable {
  BlockKernel kernels[kKernelCount];
};

// The table of the widest target this processor runs, chosen once on first use.
QUORIX_API const KernelTable& kernel_table();

// What the library has of target `index` of targets.def: compiled in, run by this processor,
// chosen by kernel_table().
struct TargetStatus {
  std::string_view name;
  bool compiled;
  bool runs;
  bool chosen;
};
QUORIX_API TargetStatus target_status(std::size_t index);

}  // namespace quorix
