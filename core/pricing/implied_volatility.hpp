// Implied volatility from market inputs: validation, no-arbitrage bounds and normalisation
// around the normalised solver.
#pragma once

#include <cmath>

#include "simd/lanes.hpp"

#include "pricing/normalised_implied_volatility.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// Absolute slack on the no-arbitrage bounds, for prices rounded at the last cent digit.
inline constexpr double kPriceBoundTolerance = 1e-12;

inline double implied_volatility(double target_price, bool put, double s, double k, double t,
                                 double r, double q) {
  const double nan = std::nan("");
  if (!std::isfinite(s) || !std::isfinite(k) || !std::isfinite(t) || !std::isfinite(r)) return nan;
  if (k <= 0 || s <= 0 || t <= 0) return nan;
  if (!std::isfinite(q)) return nan;
  if (!std::isfinite(target_price) || target_price < 0) return nan;

  const double discount = std::exp(-r * t);
  const double spot_discounted = s * std::exp(-q * t);
  const double strike_discounted = k * discount;
  const double upper = put ? strike_discounted : spot_discounted;
  const double intrinsic = put ? clamp_positive(strike_discounted - spot_discounted)
                               : clamp_positive(spot_discounted - strike_discounted);
  if (target_price > upper + kPriceBoundTolerance) return nan;
  if (target_price < intrinsic - kPriceBoundTolerance) return nan;

  const double forward = spot_discounted / discount;
  const double x = std::log(forward / k);
  const double beta = (target_price / discount) / (std::sqrt(forward) * std::sqrt(k));
  const double total = normalised_implied_volatility(beta, x, put ? -1.0 : 1.0);
  if (!std::isfinite(total)) return nan;
  return total / std::sqrt(t);
}

inline double black76_implied_volatility(double target_price, bool put, double f, double k,
                                         double t, double r) {
  return implied_volatility(target_price, put, f, k, t, r, r);
}

// Lanes are inverted one at a time: the solver's stages differ from lane to lane.
template <class D>
inline D implied_volatility(D target_price, Mask<D> put, D s, D k, D t, D r, D q) {
  D vols;
  for (int i = 0; i < kWidth<D>; ++i) {
    vols[i] = implied_volatility(target_price[i], put[i] != 0, s[i], k[i], t[i], r[i], q[i]);
  }
  return vols;
}

template <class D>
inline D black76_implied_volatility(D target_price, Mask<D> put, D f, D k, D t, D r) {
  return implied_volatility(target_price, put, f, k, t, r, r);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
