// Delta, theta, rho and the combined Greeks. The combined kernels reuse the single-Greek
// formulas on shared terms, so that they return the very same bits.
#pragma once

#include "kernels/pricing/black_scholes_terms.hpp"
#include "kernels/pricing/option_price.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

template <class D>
struct GreeksOf {
  D delta;
  D gamma;
  D vega;
  D theta;
  D rho;
};

// Delta when t <= 0 or sigma <= 0: the discounted step at the forward.
template <class D>
QUORIX_INLINE D limit_delta(Mask<D> put, D s, D k, D t, D r, D q) {
  const D forward = select<D>(t > 0, s * exp_of_difference_product(r, q, t), s);
  const D yield_discount = exp_of_product(-q, clamp_positive(t));
  return select<D>(put, select<D>(k > forward, -yield_discount, splat<D>(0.0)),
                   select<D>(forward > k, yield_discount, splat<D>(0.0)));
}

// Phi(d1) and Phi(d2) for a call, Phi(-d1) and Phi(-d2) for a put.
template <class D>
struct Probabilities {
  D n1;
  D n2;
};

template <class D>
QUORIX_INLINE Probabilities<D> probabilities(Mask<D> put, const BlackScholesTerms<D>& terms) {
  return {cdf(select<D>(put, -terms.d1, terms.d1)), cdf(select<D>(put, -terms.d2, terms.d2))};
}

// ln x within 0.01 for positive normal x, from the exponent and a parabola in the mantissa: enough
// to sort lanes, at a third of the cost of log.
template <class D>
QUORIX_INLINE D rough_log(D x) {
  const Int<D> bits_of_x = bits(x);
  const D f =
      from_bits<D>((bits_of_x & INT64_C(0x000fffffffffffff)) | INT64_C(0x3ff0000000000000)) - 1.0;
  const D exponent = detail::to_double<D>(((bits_of_x >> 52) & 0x7ff) - 1023);
  return (exponent + (f + (0.34 * f) * (1.0 - f))) * kLn2;
}

// Lanes of one class take the same cdf branches for both probabilities (the tail form for
// degenerate lanes), as far as d1 and d2 formed with a rough log tell.
inline constexpr int kGreeksClasses = kCdfClasses * kCdfClasses;

template <class D>
QUORIX_INLINE Mask<D> greeks_class(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const D v = sqrt(t) * sigma;
  const D d1 = (((0.5 * sigma) * sigma + (r - q)) * t + rough_log(s / k)) / v;
  const D d2 = d1 - v;
  return cdf_class(select<D>(put, -d1, d1)) * kCdfClasses + cdf_class(select<D>(put, -d2, d2));
}

template <class D>
QUORIX_INLINE D delta_from_terms(Mask<D> put, const BlackScholesTerms<D>& terms, D n1) {
  return select<D>(put, n1 * (-terms.eq), terms.eq * n1);
}

template <class D>
QUORIX_INLINE D theta_from_terms(Mask<D> put, const BlackScholesTerms<D>& terms, Probabilities<D> n,
                                 D s, D k, D r, D q, D sigma) {
  // -phi(d1) s e^(-qt) sigma / (2 sqrt t): the volatility decay.
  // At sigma = inf the density's zero meets sigma: the decay's limit is 0.
  const D decay = select<D>(
      sigma == kInfinity, splat<D>(0.0),
      (((exp((-0.5 * terms.d1) * terms.d1) * -kOneOverSqrtTwoPi) * (terms.eq * s)) * sigma) /
          (terms.sqrt_t + terms.sqrt_t));
  const D rate_term = (k * r) * terms.er;
  const D yield_term = (s * q) * terms.eq;
  return select<D>(put, (decay + rate_term * n.n2) - yield_term * n.n1,
                   (decay - rate_term * n.n2) + yield_term * n.n1);
}

template <class D>
QUORIX_INLINE D rho_from_terms(Mask<D> put, const BlackScholesTerms<D>& terms, D n2, D k, D t) {
  return select<D>(put, ((t * (-k)) * terms.er) * n2, ((k * t) * terms.er) * n2);
}

template <class D>
QUORIX_INLINE D option_delta(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const Mask<D> degenerate = is_degenerate(t, sigma);
  D delta = splat<D>(0.0);
  if (any<D>(degenerate)) delta = limit_delta(put, s, k, t, r, q);
  if (!all<D>(degenerate)) {
    const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
    const D n1 = cdf(select<D>(put, -terms.d1, terms.d1));
    delta = select<D>(degenerate, delta, delta_from_terms(put, terms, n1));
  }
  return delta;
}

template <class D>
QUORIX_INLINE D option_theta(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
  const D theta = theta_from_terms(put, terms, probabilities(put, terms), s, k, r, q, sigma);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), theta);
}

template <class D>
QUORIX_INLINE D option_rho(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
  const D rho = rho_from_terms(put, terms, cdf(select<D>(put, -terms.d2, terms.d2)), k, t);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), rho);
}

// Black-76 rho is -t times the price: the forward does not move with r.
template <class D>
QUORIX_INLINE D black76_rho(Mask<D> put, D f, D k, D t, D r, D sigma) {
  return (-t) * option_price(put, f, k, t, r, r, sigma);
}

template <class D>
QUORIX_INLINE GreeksOf<D> option_greeks(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const Mask<D> degenerate = is_degenerate(t, sigma);
  const D zero = splat<D>(0.0);
  GreeksOf<D> greeks{zero, zero, zero, zero, zero};
  if (any<D>(degenerate)) greeks.delta = limit_delta(put, s, k, t, r, q);
  if (!all<D>(degenerate)) {
    const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
    const Probabilities<D> n = probabilities(put, terms);
    greeks.delta = select<D>(degenerate, greeks.delta, delta_from_terms(put, terms, n.n1));
    greeks.gamma = select<D>(degenerate, zero, gamma_from_terms(terms, s, sigma));
    greeks.vega = select<D>(degenerate, zero, vega_from_terms(terms, s));
    greeks.theta = select<D>(degenerate, zero, theta_from_terms(put, terms, n, s, k, r, q, sigma));
    greeks.rho = select<D>(degenerate, zero, rho_from_terms(put, terms, n.n2, k, t));
  }
  return greeks;
}

template <class D>
QUORIX_INLINE GreeksOf<D> black76_option_greeks(Mask<D> put, D f, D k, D t, D r, D sigma) {
  GreeksOf<D> greeks = option_greeks(put, f, k, t, r, r, sigma);
  greeks.rho = black76_rho(put, f, k, t, r, sigma);
  return greeks;
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
