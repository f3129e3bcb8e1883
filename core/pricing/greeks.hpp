// Delta, theta, rho and the combined Greeks. The combined kernels reuse the single-Greek
// formulas on shared terms, so that they return the very same bits.
#pragma once

#include <cmath>

#include "pricing/black_scholes_terms.hpp"
#include "pricing/option_price.hpp"

namespace quorix {

struct Greeks {
  double delta;
  double gamma;
  double vega;
  double theta;
  double rho;
};

// Delta when t <= 0 or sigma <= 0: the discounted step at the forward.
inline double limit_delta(bool put, double s, double k, double t, double r, double q) {
  const double forward = t > 0 ? s * std::exp((r - q) * t) : s;
  const double yield_discount = std::exp((-q) * clamp_positive(t));
  if (put) return k > forward ? -yield_discount : 0.0;
  return forward > k ? yield_discount : 0.0;
}

// Phi(d1) and Phi(d2) for a call, Phi(-d1) and Phi(-d2) for a put.
struct Probabilities {
  double n1;
  double n2;
};

inline Probabilities probabilities(bool put, const BlackScholesTerms& terms) {
  if (put) return {cdf(-terms.d1), cdf(-terms.d2)};
  return {cdf(terms.d1), cdf(terms.d2)};
}

inline double delta_from_terms(bool put, const BlackScholesTerms& terms, double n1) {
  return put ? n1 * (-terms.eq) : terms.eq * n1;
}

inline double theta_from_terms(bool put, const BlackScholesTerms& terms, Probabilities n,
                               double s, double k, double r, double q, double sigma) {
  // -phi(d1) s e^(-qt) sigma / (2 sqrt t): the volatility decay.
  const double decay =
      (((std::exp((-0.5 * terms.d1) * terms.d1) * -kOneOverSqrtTwoPi) * (terms.eq * s)) * sigma) /
      (terms.sqrt_t + terms.sqrt_t);
  const double rate_term = (k * r) * terms.er;
  const double yield_term = (s * q) * terms.eq;
  if (put) return (decay + rate_term * n.n2) - yield_term * n.n1;
  return (decay - rate_term * n.n2) + yield_term * n.n1;
}

inline double rho_from_terms(bool put, const BlackScholesTerms& terms, double n2, double k,
                             double t) {
  return put ? ((t * (-k)) * terms.er) * n2 : ((k * t) * terms.er) * n2;
}

inline double option_delta(bool put, double s, double k, double t, double r, double q,
                           double sigma) {
  if (is_degenerate(t, sigma)) return limit_delta(put, s, k, t, r, q);
  const BlackScholesTerms terms = d1_d2(s, k, t, r, q, sigma);
  return delta_from_terms(put, terms, put ? cdf(-terms.d1) : cdf(terms.d1));
}

inline double option_theta(bool put, double s, double k, double t, double r, double q,
                           double sigma) {
  if (is_degenerate(t, sigma)) return 0.0;
  const BlackScholesTerms terms = d1_d2(s, k, t, r, q, sigma);
  return theta_from_terms(put, terms, probabilities(put, terms), s, k, r, q, sigma);
}

inline double option_rho(bool put, double s, double k, double t, double r, double q,
                         double sigma) {
  if (is_degenerate(t, sigma)) return 0.0;
  const BlackScholesTerms terms = d1_d2(s, k, t, r, q, sigma);
  return rho_from_terms(put, terms, put ? cdf(-terms.d2) : cdf(terms.d2), k, t);
}

// Black-76 rho is -t times the price: the forward does not move with r.
inline double black76_rho(bool put, double f, double k, double t, double r, double sigma) {
  return (-t) * option_price(put, f, k, t, r, r, sigma);
}

inline Greeks option_greeks(bool put, double s, double k, double t, double r, double q,
                            double sigma) {
  if (is_degenerate(t, sigma)) return {limit_delta(put, s, k, t, r, q), 0.0, 0.0, 0.0, 0.0};
  const BlackScholesTerms terms = d1_d2(s, k, t, r, q, sigma);
  const Probabilities n = probabilities(put, terms);
  return {delta_from_terms(put, terms, n.n1), gamma_from_terms(terms, s, sigma),
          vega_from_terms(terms, s), theta_from_terms(put, terms, n, s, k, r, q, sigma),
          rho_from_terms(put, terms, n.n2, k, t)};
}

inline Greeks black76_option_greeks(bool put, double f, double k, double t, double r,
                                    double sigma) {
  Greeks greeks = option_greeks(put, f, k, t, r, r, sigma);
  greeks.rho = black76_rho(put, f, k, t, r, sigma);
  return greeks;
}

inline double black76_delta(bool put, double f, double k, double t, double r, double sigma) {
  return option_delta(put, f, k, t, r, r, sigma);
}
inline double black76_gamma(double f, double k, double t, double r, double sigma) {
  return option_gamma(f, k, t, r, r, sigma);
}
inline double black76_vega(double f, double k, double t, double r, double sigma) {
  return option_vega(f, k, t, r, r, sigma);
}
inline double black76_theta(bool put, double f, double k, double t, double r, double sigma) {
  return option_theta(put, f, k, t, r, r, sigma);
}

}  // namespace quorix
