// The Bachelier (normal) model: the forward f moves by sigma sqrt(t) normally distributed, so that
// forwards and strikes may be negative; the premium is discounted at r. With x = f - k, v = sigma
// sqrt(t) and u = |x| / v, an option is worth e^(-rt) (max(+-x, 0) + v g(u)), where the normalised
// time value g(u) = phi(u) - u Phi(-u) is computed without cancellation far from the money.
#pragma once

#include "kernels/normal/normal.hpp"
#include "kernels/pricing/greeks.hpp"
#include "kernels/pricing/normalised_black.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// From here on g takes Laplace's continued fraction; below, 1 - u M(u) loses about u^2 times
// erfcx's few ulps, as much as g's own condition number allows.
inline constexpr double kBachelierTail = 4.0;
// Terms of the continued fraction: full precision from u = 4 on.
inline constexpr int kBachelierTerms = 40;
inline constexpr double kSqrtPi = 1.7724538509055159;

// phi(u) with e^(-u^2 / 2) exact to the rounding of the product: full relative accuracy far out.
template <class D>
QUORIX_INLINE D exact_pdf(D u) {
  return exp_of_product(-0.5 * u, u) * kOneOverSqrtTwoPi;
}

// The convergent A / B of K = 1 / (u + 2 / (u + 3 / (u + ...))) after `terms` terms, where Mills'
// ratio is 1 / (u + K) and Y(u) = g(u) / phi(u) = K / (u + K) = A / (u B + A). All terms are
// positive, so the forward recurrence is stable.
template <class D>
struct Convergent {
  D a;
  D b;
};

template <class D>
QUORIX_INLINE Convergent<D> mills_convergent(D u, int terms) {
  D a_before = splat<D>(0.0), b_before = splat<D>(1.0);  // A_0, B_0
  D a = splat<D>(1.0), b = u;                            // A_1, B_1
  for (int n = 2; n <= terms; ++n) {
    const D a_next = fma(u, a, static_cast<double>(n) * a_before);
    const D b_next = fma(u, b, static_cast<double>(n) * b_before);
    a_before = a;
    b_before = b;
    a = a_next;
    b = b_next;
  }
  return {a, b};
}

// g(u) = phi(u) - u Phi(-u) for u >= 0, given phi = phi(u); far out g = phi(u) Y(u) by the
// continued fraction.
template <class D>
QUORIX_INLINE D normalised_bachelier(D u, D phi) {
  // Near the money g = phi(u) (1 - u M(u)), Mills' ratio M(u) = sqrt(pi / 2) erfcx(u / sqrt 2).
  const D z = u * kOneOverSqrtTwo;
  D g = phi * (1.0 - (z * kSqrtPi) * erfcx(z));
  const Mask<D> tail = u >= kBachelierTail;
  if (any<D>(tail)) {
    const Convergent<D> k = mills_convergent(u, kBachelierTerms);
    g = select<D>(tail, phi * (k.a / fma(u, k.b, k.a)), g);
  }
  // Beyond u of about 38.6 phi underflows, and so does g.
  return select<D>(phi == 0, splat<D>(0.0), g);
}

template <class D>
QUORIX_INLINE D normalised_bachelier(D u) {
  return normalised_bachelier(u, exact_pdf(u));
}

// What the price and the Greeks share.
template <class D>
struct BachelierTerms {
  D x;                 // f - k
  D v;                 // sigma sqrt(t)
  D discount;          // e^(-rt), 1 once expired
  D intrinsic;         // max(+-x, 0)
  Mask<D> degenerate;  // t <= 0 or sigma <= 0 (NaN falls through the formulas)
};

template <class D>
QUORIX_INLINE BachelierTerms<D> bachelier_terms(Mask<D> put, D f, D k, D t, D r, D sigma) {
  BachelierTerms<D> terms;
  terms.x = f - k;
  terms.v = sqrt(t) * sigma;
  terms.discount = exp_of_product(-r, clamp_positive(t));
  terms.intrinsic = clamp_positive(select<D>(put, -terms.x, terms.x));
  terms.degenerate = (t <= 0) | (sigma <= 0);
  return terms;
}

// The undiscounted value: intrinsic value plus time value, the intrinsic value alone without
// volatility or time.
template <class D>
QUORIX_INLINE D bachelier_undiscounted(const BachelierTerms<D>& terms) {
  const D time_value = terms.v * normalised_bachelier(fabs(terms.x) / terms.v);
  return select<D>(terms.degenerate, terms.intrinsic, terms.intrinsic + time_value);
}

template <class D>
QUORIX_INLINE D bachelier_price(Mask<D> put, D f, D k, D t, D r, D sigma) {
  const BachelierTerms<D> terms = bachelier_terms(put, f, k, t, r, sigma);
  return terms.discount * bachelier_undiscounted(terms);
}

// Delta, dV/df: +-e^(-rt) Phi(+-x / v); without volatility or time, the discounted step.
template <class D>
QUORIX_INLINE D bachelier_delta_from_terms(Mask<D> put, const BachelierTerms<D>& terms) {
  const D d = terms.x / terms.v;
  const D step = select<D>(put, select<D>(terms.x < 0, splat<D>(-1.0), splat<D>(0.0)),
                           select<D>(terms.x > 0, splat<D>(1.0), splat<D>(0.0)));
  const D probability = select<D>(put, -cdf(-d), cdf(d));
  return terms.discount * select<D>(terms.degenerate, step, probability);
}

template <class D>
struct BachelierDensity {
  D phi;     // phi(x / v)
  D sqrt_t;  // sqrt(t)
};

template <class D>
QUORIX_INLINE BachelierDensity<D> bachelier_density(const BachelierTerms<D>& terms, D t) {
  return {exact_pdf(fabs(terms.x) / terms.v), sqrt(t)};
}

// Gamma, d2V/df2 = e^(-rt) phi(x / v) / v; 0 without volatility or time.
template <class D>
QUORIX_INLINE D bachelier_gamma_from_terms(const BachelierTerms<D>& terms, BachelierDensity<D> n) {
  return select<D>(terms.degenerate, splat<D>(0.0), (terms.discount * n.phi) / terms.v);
}

// Vega, dV/dsigma = e^(-rt) sqrt(t) phi(x / v).
template <class D>
QUORIX_INLINE D bachelier_vega_from_terms(const BachelierTerms<D>& terms, BachelierDensity<D> n) {
  return select<D>(terms.degenerate, splat<D>(0.0), (terms.discount * n.phi) * n.sqrt_t);
}

// Theta, -dV/dt = r V - e^(-rt) phi(x / v) sigma / (2 sqrt t); r V alone without volatility,
// 0 once expired.
template <class D>
QUORIX_INLINE D bachelier_theta_from_terms(const BachelierTerms<D>& terms, BachelierDensity<D> n,
                                           D price, D t, D r, D sigma) {
  const D decay = ((terms.discount * n.phi) * sigma) / (n.sqrt_t + n.sqrt_t);
  const D theta = select<D>(terms.degenerate, r * price, r * price - decay);
  return select<D>(t > 0, theta, splat<D>(0.0));
}

// Rho, dV/dr = -t V (the forward does not move with r); 0 once expired.
template <class D>
QUORIX_INLINE D bachelier_rho_from_terms(D price, D t) {
  return select<D>(t > 0, (-t) * price, splat<D>(0.0));
}

template <class D>
QUORIX_INLINE D bachelier_delta(Mask<D> put, D f, D k, D t, D r, D sigma) {
  return bachelier_delta_from_terms(put, bachelier_terms(put, f, k, t, r, sigma));
}

template <class D>
QUORIX_INLINE D bachelier_gamma(D f, D k, D t, D r, D sigma) {
  const BachelierTerms<D> terms = bachelier_terms(Mask<D>{}, f, k, t, r, sigma);
  return bachelier_gamma_from_terms(terms, bachelier_density(terms, t));
}

template <class D>
QUORIX_INLINE D bachelier_vega(D f, D k, D t, D r, D sigma) {
  const BachelierTerms<D> terms = bachelier_terms(Mask<D>{}, f, k, t, r, sigma);
  return bachelier_vega_from_terms(terms, bachelier_density(terms, t));
}

template <class D>
QUORIX_INLINE D bachelier_theta(Mask<D> put, D f, D k, D t, D r, D sigma) {
  const BachelierTerms<D> terms = bachelier_terms(put, f, k, t, r, sigma);
  const D price = terms.discount * bachelier_undiscounted(terms);
  return bachelier_theta_from_terms(terms, bachelier_density(terms, t), price, t, r, sigma);
}

template <class D>
QUORIX_INLINE D bachelier_rho(Mask<D> put, D f, D k, D t, D r, D sigma) {
  return bachelier_rho_from_terms(bachelier_price(put, f, k, t, r, sigma), t);
}

template <class D>
QUORIX_INLINE GreeksOf<D> bachelier_greeks(Mask<D> put, D f, D k, D t, D r, D sigma) {
  const BachelierTerms<D> terms = bachelier_terms(put, f, k, t, r, sigma);
  const BachelierDensity<D> n = bachelier_density(terms, t);
  const D price = terms.discount * bachelier_undiscounted(terms);
  return {bachelier_delta_from_terms(put, terms), bachelier_gamma_from_terms(terms, n),
          bachelier_vega_from_terms(terms, n),
          bachelier_theta_from_terms(terms, n, price, t, r, sigma),
          bachelier_rho_from_terms(price, t)};
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
