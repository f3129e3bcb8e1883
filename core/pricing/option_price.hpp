// European option prices under Black-Scholes-Merton (and Black-76 as BSM with q = r).
#pragma once

#include "pricing/normalised_black.hpp"
#include "simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// A negative flag is a put; zero and every positive flag a call.
inline bool is_put(signed char flag) { return flag < 0; }

// Time value from b(-|x|, s) on the out-of-the-money side, plus the discounted intrinsic value,
// so that deep in- and out-of-the-money prices keep full relative accuracy.
template <class D>
QUORIX_INLINE D option_price(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const D forward = exp((r - q) * t) * s;
  const D discount = exp((-r) * t);
  const D x = log(forward / k);
  const Mask<D> expired = t <= 0;
  const Mask<D> limit = ~expired & ((sigma <= 0) | ~is_finite(x));
  const Mask<D> general = ~(expired | limit);
  D price = select<D>(put, clamp_positive(k - s), clamp_positive(s - k));
  if (any<D>(limit)) {
    const D yield_discount = exp(t * (-q));
    const D value = select<D>(put, clamp_positive(k * discount - s * yield_discount),
                              clamp_positive(s * yield_discount - k * discount));
    price = select<D>(limit, value, price);
  }
  if (any<D>(general)) {
    const D b = normalised_black(-fabs(x), sqrt(t) * sigma).b;
    // b = 0 stands for a value below the smallest double, where the scale may overflow.
    const D scale = (sqrt(k) * sqrt(forward)) * discount;
    const D time_value = select<D>((b == 0) & (scale == kInfinity), splat<D>(0.0), scale * b);
    const Mask<D> in_the_money = (put & (x < 0)) | (~put & (x > 0));
    const D intrinsic =
        select<D>(in_the_money, discount * select<D>(put, k - forward, forward - k), splat<D>(0.0));
    price = select<D>(general, time_value + intrinsic, price);
  }
  return price;
}

template <class D>
QUORIX_INLINE D black76_price(Mask<D> put, D f, D k, D t, D r, D sigma) {
  return option_price(put, f, k, t, r, r, sigma);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
