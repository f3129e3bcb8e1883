// C entry points to the pricing kernels, loaded by the tests through ctypes so that the
// internal functions can be checked against mpmath. Built with the module's arithmetic flags.
#include <cstddef>

#include "pricing/implied_volatility.hpp"
#include "pricing/normal.hpp"
#include "pricing/normalised_black.hpp"

namespace {
thread_local long black_evaluations = 0;
}

namespace quorix {
inline namespace QUORIX_TARGET {
void count_black_evaluation() { ++black_evaluations; }
}  // namespace QUORIX_TARGET
}  // namespace quorix

extern "C" {

void erfcx_many(const double* z, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = quorix::erfcx(z[i]);
}

void cdf_many(const double* y, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = quorix::cdf(y[i]);
}

void inverse_cdf_many(const double* p, double* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = quorix::inverse_cdf(p[i]);
}

void normalised_black_many(const double* x, const double* s, double* b, double* v,
                           std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    const quorix::BlackValue value = quorix::normalised_black(x[i], s[i]);
    b[i] = value.b;
    v[i] = value.v;
  }
}

// Inverts each beta and records the most evaluations of the Black function any one needed.
void normalised_iv_many(const double* beta, const double* x, const double* theta, double* s,
                        std::size_t n, long* most_evaluations) {
  long most = 0;
  for (std::size_t i = 0; i < n; ++i) {
    black_evaluations = 0;
    s[i] = quorix::normalised_implied_volatility(beta[i], x[i], theta[i]);
    if (black_evaluations > most) most = black_evaluations;
  }
  *most_evaluations = most;
}
}
