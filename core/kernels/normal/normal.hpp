// Standard normal distribution primitives over lanes: erfcx, Phi, phi.
#pragma once

#include "kernels/elementary/elementary.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

inline constexpr double kOneOverSqrtTwo = 0.7071067811865476;
inline constexpr double kOneOverSqrtTwoPi = 0.3989422804014327;
inline constexpr double kInfinity = __builtin_huge_val();

// exp(z^2) with z^2 split exactly into z*z + error: a plain exp(z*z) would lose z^2 ulps to
// the rounding of the square, which erfcx's callers amplify further by cancellation.
template <class D>
QUORIX_INLINE D exp_of_square(D z) {
  return exp_of_product(z, z);
}

// Beyond |y| = 4 the tail form avoids the cancellation of 1 - erfc.
inline constexpr double kCdfSwitch = 4.0;

// exp(z^2) * erfc(z). From erfc's tail branch on, erfc(z) = exp(-z^2 - 0.5625 + R/S) / z and the
// square cancels out: one exp of a small argument, with no rounding of z^2 to amplify. fdlibm fits
// R/S in 1/z^2 up to z = 28; at 1/z^2 = 0 it meets the asymptote 1/(z sqrt(pi)), and it stays
// within 2 ulps all the way there (+inf gives 0).
template <class D>
QUORIX_INLINE D erfcx(D z) {
  const Mask<D> tail = z >= detail::kErfMiddle;
  D result = splat<D>(0.0);
  // The tail lanes take erfc at 0 here, so that a mixed block does not evaluate erfc's own tail.
  if (!all<D>(tail)) result = exp_of_square(z) * erfc(select<D>(tail, splat<D>(0.0), z));
  if (any<D>(tail)) {
    result = select<D>(tail, exp(detail::erfc_tail_correction(z) - 0.5625) / z, result);
  }
  return result;
}

// Phi(y) through erfcx of |y| / sqrt2: no cancellation in either tail, and one erfcx for both.
template <class D>
QUORIX_INLINE D cdf_erfcx(D y) {
  const D tail = (exp((-0.5 * y) * y) * 0.5) * erfcx(fabs(y) * kOneOverSqrtTwo);
  return select<D>(y == -kInfinity, splat<D>(0.0),
                   select<D>(y == kInfinity, splat<D>(1.0), select<D>(y < 0, tail, 1.0 - tail)));
}

// Phi(y) for |y| < 4: erfc(|y|/sqrt2) / 2 below 0 and (1 + erf(y/sqrt2)) / 2 from 0 on. Both take
// the same rational of |y|/sqrt2 in each of erf's three ranges, so a block of mixed signs
// evaluates each range once.
template <class D>
QUORIX_INLINE D cdf_central(D y) {
  using namespace detail;
  const D a = fabs(y) * kOneOverSqrtTwo;
  const ErfRanges<D> ranges = erf_ranges(a);
  const D xy = a * ranges.small_ratio;
  // erfc(a) and erf(a)
  const D lower = select<D>(
      ranges.small, select<D>(a < 0.25, 1.0 - (a + xy), 0.5 - (xy + (a - 0.5))),
      select<D>(ranges.middle, (1.0 - kErx) - ranges.middle_ratio, ranges.tail_erfc));
  const D upper = select<D>(
      ranges.small, fma(a, ranges.small_ratio, a),
      select<D>(ranges.middle, ranges.middle_ratio + kErx, 1.0 - ranges.tail_erfc));
  return select<D>(y < 0, lower * 0.5, (upper + 1.0) * 0.5);
}

// Phi(y), the standard normal distribution function.
template <class D>
QUORIX_INLINE D cdf(D y) {
  const Mask<D> central = fabs(y) < kCdfSwitch;
  D result = splat<D>(0.0);
  if (!all<D>(central)) result = cdf_erfcx(y);
  if (any<D>(central)) result = select<D>(central, cdf_central(y), result);
  return result;
}

// The range of erf's and erfc's formulas an argument z falls in: 0 below 0.84375, 1 below 1.25, 2
// beyond (NaN: 0). Vector stages sort lanes by it, so that a block takes one branch.
template <class D>
QUORIX_INLINE Mask<D> erf_branch(D z) {
  const D a = fabs(z);
  return (Mask<D>{} - (a >= detail::kErfSmall)) - (a >= detail::kErfMiddle);
}

// The branch cdf(y) takes: 0 for the tail form (and NaN), 1 to 3 for erf's three ranges of
// |y|/sqrt2.
inline constexpr int kCdfClasses = 4;

template <class D>
QUORIX_INLINE Mask<D> cdf_class(D y) {
  return (fabs(y) < kCdfSwitch) & (erf_branch(y * kOneOverSqrtTwo) + 1);
}

// phi(y), the standard normal density.
template <class D>
QUORIX_INLINE D pdf(D y) {
  return exp((-0.5 * y) * y) * kOneOverSqrtTwoPi;
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
