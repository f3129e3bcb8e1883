// The Black-Scholes terms shared by every Greek, and gamma and vega, which need nothing else.
#pragma once

#include "kernels/normal/normal.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

template <class D>
struct BlackScholesTerms {
  D sqrt_t;  // sqrt(t)
  D v;       // total volatility sqrt(t) * sigma
  D d1;
  D d2;
  D eq;    // exp(-q t)
  D er;    // exp(-r t)
  D phi1;  // pdf(d1)
};

// The groupings here are shared by every kernel, so that combined and single Greeks agree bitwise.
template <class D>
QUORIX_INLINE BlackScholesTerms<D> d1_d2(D s, D k, D t, D r, D q, D sigma) {
  BlackScholesTerms<D> terms;
  terms.sqrt_t = sqrt(t);
  terms.v = terms.sqrt_t * sigma;
  const D log_moneyness = log(s / k);
  const D half_variance = (0.5 * sigma) * sigma;
  terms.d1 = ((half_variance + (r - q)) * t + log_moneyness) / terms.v;
  terms.d2 = terms.d1 - terms.v;
  // Above sigma of about 1.9e154 the variance overflows: d1 and d2 then come from v / 2 apart,
  // reaching +inf and -inf at sigma = inf rather than inf and NaN.
  const Mask<D> overflowed = half_variance == kInfinity;
  if (any<D>(overflowed)) {
    const D drift = ((r - q) * t + log_moneyness) / terms.v;
    const D half_v = 0.5 * terms.v;
    terms.d1 = select<D>(overflowed, drift + half_v, terms.d1);
    terms.d2 = select<D>(overflowed, drift - half_v, terms.d2);
  }
  terms.eq = exp_of_product(-q, t);
  terms.er = exp_of_product(-r, t);
  terms.phi1 = pdf(terms.d1);
  return terms;
}

// Both comparisons are false for NaN, which therefore propagates through the formulas.
template <class D>
QUORIX_INLINE Mask<D> is_degenerate(D t, D sigma) {
  return (t <= 0) | (sigma <= 0);
}

template <class D>
QUORIX_INLINE D gamma_from_terms(const BlackScholesTerms<D>& terms, D s, D sigma) {
  return (terms.phi1 * terms.eq) / ((s * sigma) * terms.sqrt_t);
}

template <class D>
QUORIX_INLINE D vega_from_terms(const BlackScholesTerms<D>& terms, D s) {
  return (terms.phi1 * (terms.eq * s)) * terms.sqrt_t;
}

template <class D>
QUORIX_INLINE D option_gamma(D s, D k, D t, D r, D q, D sigma) {
  const D gamma = gamma_from_terms(d1_d2(s, k, t, r, q, sigma), s, sigma);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), gamma);
}

template <class D>
QUORIX_INLINE D option_vega(D s, D k, D t, D r, D q, D sigma) {
  const D vega = vega_from_terms(d1_d2(s, k, t, r, q, sigma), s);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), vega);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
