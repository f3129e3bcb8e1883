// The normalised Black call value b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2)
// and its vega db/ds, each region with the formula that keeps full relative accuracy there.
#pragma once

#include "kernels/normal/normal.hpp"
#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

template <class D>
struct BlackValueOf {
  D b;  // normalised price
  D v;  // normalised vega, db/ds
};


inline constexpr double kAsymptoticThreshold = -10.0;                      // eta
inline constexpr double kAsymptoticShiftedThreshold = -9.789747145884828;  // eta + tau
inline constexpr double kSmallSThreshold = 0.2102528541151713;             // tau
inline constexpr double kCdfRegionThreshold = 0.85;
inline constexpr double kIntrinsicSeriesThreshold = 0.011962890625;  // 98 * 2^-13
inline constexpr double kSqrtHalfPi = 1.2533141373155003;
inline constexpr double kVegaCutOff = 1.4916681462400413e-154;  // 2^-511

// max(v, 0) that maps NaN (and -0) to +0.
template <class D>
QUORIX_INLINE D clamp_positive(D v) {
  return select<D>(v > 0, v, splat<D>(0.0));
}

// 2 sinh(x/2); the series keeps relative accuracy for small x.
template <class D>
QUORIX_INLINE D two_sinh_half(D x) {
  const D x2 = x * x;
  const Mask<D> series = x2 < kIntrinsicSeriesThreshold;
  D result = splat<D>(0.0);
  if (any<D>(series)) {
    D p = fma(x2, splat<D>(1.076457782186949e-08), splat<D>(3.1001984126984127e-06));
    p = fma(x2, p, splat<D>(0.0005208333333333333));
    p = fma(x2, p, splat<D>(0.041666666666666664));
    p = fma(x2, p, splat<D>(1.0));
    result = x * p;
  }
  if (!all<D>(series)) {
    const D e = exp(x * 0.5);
    result = select<D>(series, result, (-1.0 / e) + e);
  }
  return result;
}

// The normalised intrinsic value of a call, 2 sinh(x/2) clamped at 0.
template <class D>
QUORIX_INLINE D normalised_intrinsic(D x) {
  return clamp_positive(two_sinh_half(x));
}

namespace detail {

inline constexpr int kAsymptoticTerms = 18;

// kAsymptoticCoefficients[k][j] = 2 * C(2k + 1, 2j + 1): |P_k(e)| = sum_j c[k][j] e^j.
struct AsymptoticTable {
  double c[kAsymptoticTerms][kAsymptoticTerms];
};

consteval AsymptoticTable make_asymptotic_table() {
  AsymptoticTable table{};
  for (int k = 0; k < kAsymptoticTerms; ++k) {
    const int n = 2 * k + 1;
    for (int j = 0; j <= k; ++j) {
      const int m = 2 * j + 1;
      double binomial = 1.0;  // C(n, m), exact: the largest is C(35, 17) < 2^53
      for (int i = 1; i <= m; ++i) binomial = binomial * (n - m + i) / i;
      table.c[k][j] = 2.0 * binomial;
    }
  }
  return table;
}

inline constexpr AsymptoticTable kAsymptoticCoefficients = make_asymptotic_table();

// P_k(e) = (-1)^k sum_j c[k][j] e^j by Horner's scheme, the top two terms as c + 2e.
template <class D>
QUORIX_INLINE D asymptotic_polynomial(int k, D e) {
  const double* c = kAsymptoticCoefficients.c[k];
  D p = (e + e) + c[k - 1];
  for (int j = k - 2; j >= 0; --j) p = p * e + c[j];
  return (k & 1) ? -p : p;
}

// h < -10 and h + t small against |h|: b = (t/r) phi S with S an 18-term series in q.
template <class D>
QUORIX_INLINE BlackValueOf<D> asymptotic_expansion(D h, D t) {
  const D e = (t / h) * (t / h);
  const D r = (h - t) * (h + t);
  const D q = (h / r) * (h / r);
  D sum = (asymptotic_polynomial(17, e) * 33.0) * q;
  for (int k = 16; k >= 2; --k)
    sum = (asymptotic_polynomial(k, e) + sum) * (static_cast<double>(2 * k - 1) * q);
  const D series = (asymptotic_polynomial(1, e) + sum) * q + 2.0;
  const D v = exp((t * t + h * h) * -0.5) * kOneOverSqrtTwoPi;
  return {((t / r) * v) * series, v};
}

// t < tau: a Taylor series in w = t^2 with a = 1 + h Phi(h) / phi(h).
template <class D>
QUORIX_INLINE BlackValueOf<D> small_s_expansion(D h, D t) {
  const D y = erfcx(h * -kOneOverSqrtTwo);
  const D a = (h * kSqrtHalfPi) * y + 1.0;
  const D g = h * h;
  const D w = t * t;
  const D b1 = (3 * a - 1) + g * a;
  const D b2 = (15 * a - 7) + g * ((10 * a - 1) + g * a);
  const D b3 = (105 * a - 57) + g * ((105 * a - 18) + g * ((21 * a - 1) + g * a));
  const D b4 =
      (945 * a - 561) + g * ((1260 * a - 285) + g * ((378 * a - 33) + g * ((36 * a - 1) + g * a)));
  const D b5 = (10395 * a - 6555) +
               g * ((17325 * a - 4680) +
                    g * ((6930 * a - 840) + g * ((990 * a - 52) + g * ((55 * a - 1) + g * a))));
  const D b6 =
      (135135 * a - 89055) +
      g * ((270270 * a - 82845) +
           g * ((135135 * a - 20370) +
                g * ((25740 * a - 1926) + g * ((2145 * a - 75) + g * ((78 * a - 1) + g * a)))));
  // The reciprocal factorials as constants: each term is at most a fiftieth of a, so the rounding
  // of a constant moves the sum by far less than its last bit, and the divider stays free.
  const D series =
      (t + t) *
      (a + w * (b1 * (1.0 / 6) +
                w * (b2 * (1.0 / 120) +
                     w * (b3 * (1.0 / 5040) +
                          w * (b4 * (1.0 / 362880) +
                               w * (b5 * (1.0 / 39916800) + (b6 * w) * (1.0 / 6227020800)))))));
  const D v = exp((h * h + t * t) * -0.5) * kOneOverSqrtTwoPi;
  return {series * v, v};
}

// h + t > 0.85: the first term dominates, so the plain difference of Phi values is accurate.
template <class D>
QUORIX_INLINE BlackValueOf<D> cdf_difference(D x, D s, D h, D t) {
  const D phi_plus = cdf(h + t);
  const D phi_minus = cdf(h - t);
  const D e = exp(0.5 * x);
  const D b = phi_plus * e - phi_minus / e;
  const D at_the_money = exp((-0.125 * s) * s) * kOneOverSqrtTwoPi;
  const D general = exp(fma(h, h, t * t) * -0.5) * kOneOverSqrtTwoPi;
  // s <= |x| 2^-511: h*h would overflow; the true vega underflows.
  const D v = select<D>(x == 0, at_the_money,
                        select<D>(s <= fabs(x) * kVegaCutOff, splat<D>(0.0), general));
  return {b, v};
}

// Elsewhere: both terms scaled by exp(-(h^2 + t^2)/2) through erfcx, without cancellation.
template <class D>
QUORIX_INLINE BlackValueOf<D> erfcx_difference(D h, D t) {
  const D x1 = erfcx((h + t) * -kOneOverSqrtTwo);
  const D x2 = erfcx((h - t) * -kOneOverSqrtTwo);
  const D e = exp((t * t + h * h) * -0.5);
  return {(0.5 * e) * (x1 - x2), e * kOneOverSqrtTwoPi};
}

template <class D>
QUORIX_INLINE void blend(Mask<D> mask, const BlackValueOf<D>& value, BlackValueOf<D>* into) {
  into->b = select<D>(mask, value.b, into->b);
  into->v = select<D>(mask, value.v, into->v);
}

}  // namespace detail

// The four formulas of b(x, s) for x <= 0, each exact to the last few digits where it is used.
enum BlackRegion : int { kAsymptoticRegion, kSmallRegion, kDifferenceRegion, kScaledRegion };
inline constexpr int kBlackRegions = 4;

// The region each lane's (x, s) lies in; NaN lanes fall in the scaled one.
template <class D>
QUORIX_INLINE Mask<D> black_region(D x, D s) {
  const D t = 0.5 * s;
  const Mask<D> asymptotic =
      (x < kAsymptoticThreshold * s) & (s * t + x < kAsymptoticShiftedThreshold * s);
  const Mask<D> small = ~asymptotic & (t < kSmallSThreshold);
  const Mask<D> difference = ~asymptotic & ~small & (s * t + x > kCdfRegionThreshold * s);
  Mask<D> region = Mask<D>{} + int{kScaledRegion};
  region = select<Mask<D>>(difference, Mask<D>{} + int{kDifferenceRegion}, region);
  region = select<Mask<D>>(small, Mask<D>{} + int{kSmallRegion}, region);
  return select<Mask<D>>(asymptotic, Mask<D>{} + int{kAsymptoticRegion}, region);
}

// Lanes of one class evaluate the same branches: those of a region, and in the scaled region the
// erfc branch (below 0.84375, below 1.25, beyond) of each of its two erfcx arguments. The vector
// stages sort lanes by class, so that a block of a mixed chain evaluates one branch of each.
inline constexpr int kBlackClasses = kScaledRegion + 9;

// h = x / s, from a stage that has it already.
template <class D>
QUORIX_INLINE Mask<D> black_class(D x, D s, D h) {
  const Mask<D> region = black_region(x, s);
  const D t = 0.5 * s;
  const Mask<D> scaled =
      erf_branch((h + t) * -kOneOverSqrtTwo) * 3 + erf_branch((h - t) * -kOneOverSqrtTwo);
  return region + (scaled & (region == int{kScaledRegion}));
}

template <class D>
QUORIX_INLINE Mask<D> black_class(D x, D s) {
  return black_class(x, s, x / s);
}

inline constexpr int region_of_class(int black_class) {
  return black_class < kScaledRegion ? black_class : kScaledRegion;
}

// The unclamped value of one region's formula at x <= 0, in every lane; h = x / s.
template <class D>
QUORIX_INLINE BlackValueOf<D> black_region_value(int region, D x, D s, D h) {
  const D t = 0.5 * s;
  switch (region) {
    case kAsymptoticRegion:
      return detail::asymptotic_expansion(h, t);
    case kSmallRegion:
      return detail::small_s_expansion(h, t);
    case kDifferenceRegion:
      return detail::cdf_difference(x, s, h, t);
    default:
      return detail::erfcx_difference(h, t);
  }
}

// Clamped, zero for s <= 0, and reflected for x > 0 by put-call symmetry, b(x, s) = 2 sinh(x/2)
// + b(-x, s), the vega being even in x.
template <class D>
QUORIX_INLINE BlackValueOf<D> finish_black(BlackValueOf<D> value, D x_signed, D s) {
  const Mask<D> expired = s <= 0;
  value.b = select<D>(expired, splat<D>(0.0), clamp_positive(value.b));
  value.v = select<D>(expired, splat<D>(0.0), value.v);
  const Mask<D> in_the_money = x_signed > 0;
  if (any<D>(in_the_money)) {
    value.b = select<D>(in_the_money, value.b + normalised_intrinsic(x_signed), value.b);
  }
  return value;
}

// Each region is evaluated only when some lane lies in it.
template <class D>
QUORIX_INLINE BlackValueOf<D> normalised_black(D x_signed, D s) {
  const D x = -fabs(x_signed);
  BlackValueOf<D> value{splat<D>(0.0), splat<D>(0.0)};
  const Mask<D> regions = black_region(x, s);
  const D h = x / s;
  for (int region = 0; region < kBlackRegions; ++region) {
    const Mask<D> lanes = regions == region;
    if (any<D>(lanes)) detail::blend(lanes, black_region_value(region, x, s, h), &value);
  }
  return finish_black(value, x_signed, s);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
