// C entry points to the pricing kernels, loaded by the tests through ctypes so that the
// internal functions can be checked against mpmath, and the kernel table of the instruction-set
// target this library is compiled for. Built with the module's arithmetic flags.
#include <cstddef>

#include "kernels/pricing/implied_volatility.hpp"
#include "kernels/normal/normal.hpp"
#include "kernels/pricing/normalised_black.hpp"
#include "kernels/table/kernels.hpp"

namespace {
thread_local long black_evaluations = 0;
bool refuse_scratch = false;
}  // namespace

namespace quorix {
inline namespace QUORIX_TARGET {
void count_black_evaluation() {
  ++black_evaluations;
}
bool scratch_refused() {
  return refuse_scratch;
}
}  // namespace QUORIX_TARGET
}  // namespace quorix

#define QUORIX_CONCAT_(A, B) A##B
#define QUORIX_CONCAT(A, B) QUORIX_CONCAT_(A, B)
#define QUORIX_TABLE QUORIX_CONCAT(quorix::kernel_table_, QUORIX_TARGET)
namespace quorix {
extern const KernelTable QUORIX_CONCAT(kernel_table_, QUORIX_TARGET);
}

// In blocks of the target's width, a short one padded with its last element.
#define QUORIX_ELEMENTWISE(NAME, FUNCTION)                                          \
  extern "C" void NAME(const double* x, double* out, std::size_t n) {               \
    constexpr std::size_t W = quorix::kTargetWidth;                                 \
    for (std::size_t i = 0; i < n; i += W) {                                        \
      quorix::Lanes<W> lanes;                                                       \
      for (std::size_t j = 0; j < W; ++j) lanes[j] = x[i + j < n ? i + j : n - 1]; \
      const quorix::Lanes<W> value = FUNCTION(lanes);                               \
      for (std::size_t j = 0; j < W && i + j < n; ++j) out[i + j] = value[j];       \
    }                                                                               \
  }

QUORIX_ELEMENTWISE(exp_many, quorix::exp)
QUORIX_ELEMENTWISE(log_many, quorix::log)
QUORIX_ELEMENTWISE(erfc_many, quorix::erfc)
QUORIX_ELEMENTWISE(erfcx_many, quorix::erfcx)
QUORIX_ELEMENTWISE(cdf_many, quorix::cdf)
QUORIX_ELEMENTWISE(inverse_cdf_many, quorix::inverse_cdf)

extern "C" {

void normalised_black_many(const double* x, const double* s, double* b, double* v, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const auto value = quorix::normalised_black(quorix::Lanes<1>{x[i]}, quorix::Lanes<1>{s[i]});
    b[i] = value.b[0];
    v[i] = value.v[0];
  }
}

// Inverts each beta and records how many evaluations of the Black function each one needed.
void normalised_iv_many(const double* beta, const double* x, const double* theta, double* s,
                        long* evaluations, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    black_evaluations = 0;
    s[i] = quorix::normalised_implied_volatility(quorix::Lanes<1>{beta[i]}, quorix::Lanes<1>{x[i]},
                                                 quorix::Lanes<1>{theta[i]})[0];
    evaluations[i] = black_evaluations;
  }
}

// Kernel `id` of the vector functions, in the module's order, over this target's block kernel;
// with `refused`, as if the staged kernels' working arrays could not be allocated.
void run_kernel(int id, const void* const* inputs, double* const* outputs, std::size_t n,
                bool refused) {
  refuse_scratch = refused;
  quorix::Columns columns{};
  const quorix::KernelShape& shape = quorix::kernel_shape(static_cast<quorix::KernelId>(id));
  for (std::size_t i = 0; i < shape.columns; ++i) columns.inputs[i] = inputs[i];
  for (std::size_t j = 0; j < shape.outputs; ++j) columns.outputs[j] = outputs[j];
  QUORIX_TABLE.kernels[id](columns, 0, n);
}
}
