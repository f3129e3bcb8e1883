// Implied volatility from market inputs: validation, no-arbitrage bounds and normalisation
// around the normalised solver.
#pragma once

#include "kernels/simd/lanes.hpp"

#include "kernels/pricing/normalised_implied_volatility.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// Absolute slack on the no-arbitrage bounds, for prices rounded at the last cent digit.
inline constexpr double kPriceBoundTolerance = 1e-12;

// The market inputs reduced to the normalised problem. Lanes whose inputs are invalid or outside
// the no-arbitrage bounds give NaN; they enter the solver with beta = 0, which settles them at
// once.
template <class D>
struct VolatilityPlan {
  D beta;
  D x;
  D theta;
  D t;
  Mask<D> valid;
};

// sqrt(a) sqrt(b) in one square root (as slow as several multiplications) where a is positive
// and a b a normal double; in two where the product would overflow or lose bits, or hide the NaN
// of a negative a or b.
template <class D>
QUORIX_INLINE D geometric_mean(D a, D b) {
  const D product = a * b;
  D root = sqrt(product);
  const Mask<D> out_of_range = ~((a > 0) & (product >= 0x1p-1000) & (product <= 0x1p1000));
  if (any<D>(out_of_range)) root = select<D>(out_of_range, sqrt(a) * sqrt(b), root);
  return root;
}

template <class D>
QUORIX_INLINE VolatilityPlan<D> volatility_plan(D target_price, Mask<D> put, D s, D k, D t, D r,
                                                D q) {
  Mask<D> valid = is_finite(s) & is_finite(k) & is_finite(t) & is_finite(r) & is_finite(q) &
                  is_finite(target_price) & (k > 0) & (s > 0) & (t > 0) & (target_price >= 0);
  const D discount = exp_of_product(-r, t);
  const D spot_discounted = s * exp_of_product(-q, t);
  const D strike_discounted = k * discount;
  const D upper = select<D>(put, strike_discounted, spot_discounted);
  const D intrinsic = clamp_positive(
      select<D>(put, strike_discounted - spot_discounted, spot_discounted - strike_discounted));
  valid = valid & ~(target_price > upper + kPriceBoundTolerance) &
          ~(target_price < intrinsic - kPriceBoundTolerance);

  const D forward = spot_discounted / discount;
  const D beta = (target_price / discount) / geometric_mean(forward, k);
  return {select<D>(valid, beta, splat<D>(0.0)), log(forward / k),
          select<D>(put, splat<D>(-1.0), splat<D>(1.0)), t, valid};
}

template <class D>
QUORIX_INLINE D finish_volatility(const VolatilityPlan<D>& plan, D total) {
  return select<D>(plan.valid & is_finite(total), total / sqrt(plan.t),
                   splat<D>(__builtin_nan("")));
}

template <class D>
QUORIX_INLINE D implied_volatility(D target_price, Mask<D> put, D s, D k, D t, D r, D q) {
  const VolatilityPlan<D> plan = volatility_plan(target_price, put, s, k, t, r, q);
  return finish_volatility(plan, normalised_implied_volatility(plan.beta, plan.x, plan.theta));
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
