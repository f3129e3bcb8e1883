// The Black-Scholes terms shared by every Greek, and gamma and vega, which need nothing else.
#pragma once

#include <cmath>

#include "pricing/normal.hpp"

namespace quorix {

struct BlackScholesTerms {
  double sqrt_t;  // sqrt(t)
  double v;       // total volatility sqrt(t) * sigma
  double d1;
  double d2;
  double eq;    // exp(-q t)
  double er;    // exp(-r t)
  double phi1;  // pdf(d1)
};

// The groupings here are shared by every kernel, so that combined and single Greeks agree bitwise.
inline BlackScholesTerms d1_d2(double s, double k, double t, double r, double q, double sigma) {
  BlackScholesTerms terms;
  terms.sqrt_t = std::sqrt(t);
  terms.v = terms.sqrt_t * sigma;
  const double log_moneyness = std::log(s / k);
  terms.d1 = (((0.5 * sigma) * sigma + (r - q)) * t + log_moneyness) / terms.v;
  terms.d2 = terms.d1 - terms.v;
  terms.eq = std::exp((-q) * t);
  terms.er = std::exp((-r) * t);
  terms.phi1 = pdf(terms.d1);
  return terms;
}

// Both comparisons are false for NaN, which therefore propagates through the formulas.
inline bool is_degenerate(double t, double sigma) { return t <= 0 || sigma <= 0; }

inline double gamma_from_terms(const BlackScholesTerms& terms, double s, double sigma) {
  return (terms.phi1 * terms.eq) / ((s * sigma) * terms.sqrt_t);
}

inline double vega_from_terms(const BlackScholesTerms& terms, double s) {
  return (terms.phi1 * (terms.eq * s)) * terms.sqrt_t;
}

inline double option_gamma(double s, double k, double t, double r, double q, double sigma) {
  if (is_degenerate(t, sigma)) return 0.0;
  return gamma_from_terms(d1_d2(s, k, t, r, q, sigma), s, sigma);
}

inline double option_vega(double s, double k, double t, double r, double q, double sigma) {
  if (is_degenerate(t, sigma)) return 0.0;
  return vega_from_terms(d1_d2(s, k, t, r, q, sigma), s);
}

}  // namespace quorix
