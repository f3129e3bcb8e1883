// European option prices under Black-Scholes-Merton (and Black-76 as BSM with q = r).
#pragma once

#include "kernels/pricing/normalised_black.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// A negative flag is a put; zero and every positive flag a call.
inline bool is_put(signed char flag) {
  return flag < 0;
}

// What a price needs around its normalised Black value b(x, s): the time value is scale * b,
// on the out-of-the-money side, and the discounted intrinsic value is added apart, so that deep
// in- and out-of-the-money prices keep full relative accuracy.
template <class D>
struct PricePlan {
  D x;              // -|log(F/k)|
  D s;              // total volatility sqrt(t) sigma
  D scale;          // sqrt(k) sqrt(F) e^(-rt)
  D intrinsic;      // discounted intrinsic value, 0 out of the money
  D fallback;       // the price where no Black value is needed
  Mask<D> general;  // lanes priced from the Black value
};

template <class D>
QUORIX_INLINE PricePlan<D> price_plan(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  PricePlan<D> plan;
  const D forward = exp_of_difference_product(r, q, t) * s;
  const D discount = exp_of_product(-r, t);
  const D x = log(forward / k);
  const Mask<D> expired = t <= 0;
  // sigma = inf takes the limit of large sigma: the whole discounted spot for a call, the
  // whole discounted strike for a put.
  const Mask<D> unbounded = ~expired & (sigma == kInfinity);
  const Mask<D> limit = ~expired & ((sigma <= 0) | ~is_finite(x) | unbounded);
  plan.general = ~(expired | limit);
  plan.fallback = select<D>(put, clamp_positive(k - s), clamp_positive(s - k));
  if (any<D>(limit)) {
    const D yield_discount = exp_of_product(-q, t);
    const D value = select<D>(put, clamp_positive(k * discount - s * yield_discount),
                              clamp_positive(s * yield_discount - k * discount));
    const D whole = clamp_positive(select<D>(put, k * discount, s * yield_discount));
    plan.fallback = select<D>(limit, select<D>(unbounded, whole, value), plan.fallback);
  }
  plan.x = -fabs(x);
  plan.s = sqrt(t) * sigma;
  plan.scale = (sqrt(k) * sqrt(forward)) * discount;
  const Mask<D> in_the_money = (put & (x < 0)) | (~put & (x > 0));
  plan.intrinsic =
      select<D>(in_the_money, discount * select<D>(put, k - forward, forward - k), splat<D>(0.0));
  return plan;
}

template <class D>
QUORIX_INLINE D finish_price(const PricePlan<D>& plan, D b) {
  // b = 0 stands for a value below the smallest double, where the scale may overflow.
  const D time_value =
      select<D>((b == 0) & (plan.scale == kInfinity), splat<D>(0.0), plan.scale * b);
  return select<D>(plan.general, time_value + plan.intrinsic, plan.fallback);
}

template <class D>
QUORIX_INLINE D option_price(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
  const PricePlan<D> plan = price_plan(put, s, k, t, r, q, sigma);
  D b = splat<D>(0.0);
  if (any<D>(plan.general)) b = normalised_black(plan.x, plan.s).b;
  return finish_price(plan, b);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
