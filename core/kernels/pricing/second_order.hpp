// Second-order Greeks (vanna, volga, charm, speed) and the dividend sensitivity, in closed form
// on the terms the first-order Greeks share. Black-76 runs them with s = f and q = r: as functions
// of the forward, time and volatility the two models coincide.
#pragma once

#include "kernels/pricing/greeks.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

template <class D>
struct SecondOrderOf {
  D vanna;
  D volga;
  D charm;
  D speed;
};

// sigma = inf: the density's zero meets an infinite factor; every second-order Greek's limit is 0.
template <class D>
QUORIX_INLINE D finite_sigma_only(D sigma, D value) {
  return select<D>(sigma == kInfinity, splat<D>(0.0), value);
}

// d2V/ds dsigma = -e^(-qt) phi(d1) d2 / sigma.
template <class D>
QUORIX_INLINE D vanna_from_terms(const BlackScholesTerms<D>& terms, D sigma) {
  return finite_sigma_only(sigma, -(((terms.eq * terms.phi1) * terms.d2) / sigma));
}

// d2V/dsigma2 = vega d1 d2 / sigma.
template <class D>
QUORIX_INLINE D volga_from_terms(const BlackScholesTerms<D>& terms, D s, D sigma) {
  return finite_sigma_only(sigma, (vega_from_terms(terms, s) * (terms.d1 * terms.d2)) / sigma);
}

// dgamma/ds = -gamma (d1 + v) / (s v).
template <class D>
QUORIX_INLINE D speed_from_terms(const BlackScholesTerms<D>& terms, D s, D sigma) {
  const D gamma = gamma_from_terms(terms, s, sigma);
  return finite_sigma_only(sigma, -((gamma * (terms.d1 + terms.v)) / (s * terms.v)));
}

// -ddelta/dt, with t the time to expiry (the sign of passing time, as theta has):
// +-q e^(-qt) Phi(+-d1) - e^(-qt) phi(d1) ((r - q) / v - d2 / (2t)); n1 is Phi(+-d1).
template <class D>
QUORIX_INLINE D charm_from_terms(Mask<D> put, const BlackScholesTerms<D>& terms, D n1, D t, D r,
                                 D q, D sigma) {
  const D carry = (q * terms.eq) * n1;
  const D drift = (terms.eq * terms.phi1) * ((r - q) / terms.v - terms.d2 / (t + t));
  return finite_sigma_only(sigma, select<D>(put, -carry, carry) - drift);
}

// dV/dq = -+t s e^(-qt) Phi(+-d1).
template <class D>
QUORIX_INLINE D dividend_rho_from_terms(Mask<D> put, const BlackScholesTerms<D>& terms, D n1, D s,
                                        D t) {
  const D value = ((t * s) * terms.eq) * n1;
  return select<D>(put, value, -value);
}

// Where t <= 0 or sigma <= 0 the delta is a step: charm is q times it and the dividend
// sensitivity -t s times it while t > 0, and both are 0 once expired.
template <class D>
QUORIX_INLINE D limit_charm(Mask<D> put, D s, D k, D t, D r, D q) {
  return select<D>(t > 0, q * limit_delta(put, s, k, t, r, q), splat<D>(0.0));
}

template <class D>
QUORIX_INLINE D limit_dividend_rho(Mask<D> put, D s, D k, D t, D r, D q) {
  return select<D>(t > 0, ((-t) * s) * limit_delta(put, s, k, t, r, q), splat<D>(0.0));
}

template <class D>
QUORIX_INLINE D option_vanna(D s, D k, D t, D r, D q, D sigma) {
  const D vanna = vanna_from_terms(d1_d2(s, k, t, r, q, sigma), sigma);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), vanna);
}

template <class D>
QUORIX_INLINE D option_volga(D s, D k, D t, D r, D q, D sigma) {
  const D volga = volga_from_terms(d1_d2(s, k, t, r, q, sigma), s, sigma);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), volga);
}

template <class D>
QUORIX_INLINE D option_speed(D s, D k, D t, D r, D q, D sigma) {
  const D speed = speed_from_terms(d1_d2(s, k, t, r, q, sigma), s, sigma);
  return select<D>(is_degenerate(t, sigma), splat<D>(0.0), speed);
}

// A Greek on Phi(+-d1): `limit` where t <= 0 or sigma <= 0, `formula(terms, n1)` elsewhere, each
// evaluated only when a lane needs it.
template <class D, class Limit, class Formula>
QUORIX_INLINE D on_first_probability(Mask<D> put, D s, D k, D t, D r, D q, D sigma, Limit limit,
                                     Formula formula) {
  const Mask<D> degenerate = is_degenerate(t, sigma);
  D value = splat<D>(0.0);
  if (any<D>(degenerate)) value = limit();
  if (!all<D>(degenerate)) {
    const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
    const D n1 = cdf(select<D>(put, -terms.d1, terms.d1));
    value = select<D>(degenerate, value, formula(terms, n1));
  }
  return value;
}

template <class D>
QUORIX_INLINE D option_charm(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  return on_first_probability(
      put, s, k, t, r, q, sigma, [&] { return limit_charm(put, s, k, t, r, q); },
      [&](const BlackScholesTerms<D>& terms, D n1) {
        return charm_from_terms(put, terms, n1, t, r, q, sigma);
      });
}

template <class D>
QUORIX_INLINE D option_dividend_rho(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  return on_first_probability(
      put, s, k, t, r, q, sigma, [&] { return limit_dividend_rho(put, s, k, t, r, q); },
      [&](const BlackScholesTerms<D>& terms, D n1) {
        return dividend_rho_from_terms(put, terms, n1, s, t);
      });
}

template <class D>
QUORIX_INLINE SecondOrderOf<D> option_second_order(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const Mask<D> degenerate = is_degenerate(t, sigma);
  const D zero = splat<D>(0.0);
  SecondOrderOf<D> greeks{zero, zero, zero, zero};
  if (any<D>(degenerate)) greeks.charm = limit_charm(put, s, k, t, r, q);
  if (!all<D>(degenerate)) {
    const BlackScholesTerms<D> terms = d1_d2(s, k, t, r, q, sigma);
    const D n1 = cdf(select<D>(put, -terms.d1, terms.d1));
    greeks.vanna = select<D>(degenerate, zero, vanna_from_terms(terms, sigma));
    greeks.volga = select<D>(degenerate, zero, volga_from_terms(terms, s, sigma));
    greeks.charm =
        select<D>(degenerate, greeks.charm, charm_from_terms(put, terms, n1, t, r, q, sigma));
    greeks.speed = select<D>(degenerate, zero, speed_from_terms(terms, s, sigma));
  }
  return greeks;
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
