// European option prices under Black-Scholes-Merton (and Black-76 as BSM with q = r).
#pragma once

#include <cmath>

#include "pricing/normalised_black.hpp"

namespace quorix {

// A negative flag is a put; zero and every positive flag a call.
inline bool is_put(signed char flag) { return flag < 0; }

// Time value from b(-|x|, s) on the out-of-the-money side, plus the discounted intrinsic value,
// so that deep in- and out-of-the-money prices keep full relative accuracy.
inline double option_price(bool put, double s, double k, double t, double r, double q,
                           double sigma) {
  if (t <= 0) return put ? clamp_positive(k - s) : clamp_positive(s - k);
  const double forward = std::exp((r - q) * t) * s;
  const double discount = std::exp((-r) * t);
  const double x = std::log(forward / k);
  if (sigma <= 0 || !std::isfinite(x)) {
    const double yield_discount = std::exp(t * (-q));
    return put ? clamp_positive(k * discount - s * yield_discount)
               : clamp_positive(s * yield_discount - k * discount);
  }
  const double b = normalised_black(-std::fabs(x), std::sqrt(t) * sigma).b;
  const double time_value = ((std::sqrt(k) * std::sqrt(forward)) * discount) * b;
  double intrinsic = 0.0;
  if (!put && x > 0) intrinsic = discount * (forward - k);
  if (put && x < 0) intrinsic = discount * (k - forward);
  return time_value + intrinsic;
}

inline double black76_price(bool put, double f, double k, double t, double r, double sigma) {
  return option_price(put, f, k, t, r, r, sigma);
}

}  // namespace quorix
