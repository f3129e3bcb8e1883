// The normalised Black call value b(x, s) = Phi(x/s + s/2) e^(x/2) - Phi(x/s - s/2) e^(-x/2)
// and its vega db/ds, each region with the formula that keeps full relative accuracy there.
#pragma once

#include <cmath>

#include "pricing/normal.hpp"

namespace quorix {

struct BlackValue {
  double b;  // normalised price
  double v;  // normalised vega, db/ds
};

inline constexpr double kAsymptoticThreshold = -10.0;            // eta
inline constexpr double kAsymptoticShiftedThreshold = -9.789747145884828;  // eta + tau
inline constexpr double kSmallSThreshold = 0.2102528541151713;   // tau
inline constexpr double kCdfRegionThreshold = 0.85;
inline constexpr double kIntrinsicSeriesThreshold = 0.011962890625;  // 98 * 2^-13
inline constexpr double kSqrtHalfPi = 1.2533141373155003;
inline constexpr double kVegaCutOff = 1.4916681462400413e-154;  // 2^-511

// max(v, 0) that maps NaN (and -0) to +0.
inline double clamp_positive(double v) { return v > 0 ? v : 0.0; }

// 2 sinh(x/2); the series keeps relative accuracy for small x.
inline double two_sinh_half(double x) {
  if (x * x < kIntrinsicSeriesThreshold) {
    const double x2 = x * x;
    double p = std::fma(x2, 1.076457782186949e-08, 3.1001984126984127e-06);
    p = std::fma(x2, p, 0.0005208333333333333);
    p = std::fma(x2, p, 0.041666666666666664);
    p = std::fma(x2, p, 1.0);
    return x * p;
  }
  const double e = std::exp(x * 0.5);
  return (-1.0 / e) + e;
}

// The normalised intrinsic value of a call, 2 sinh(x/2) clamped at 0.
inline double normalised_intrinsic(double x) { return clamp_positive(two_sinh_half(x)); }

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
inline double asymptotic_polynomial(int k, double e) {
  const double* c = kAsymptoticCoefficients.c[k];
  double p = c[k - 1] + (e + e);
  for (int j = k - 2; j >= 0; --j) p = p * e + c[j];
  return (k & 1) ? -p : p;
}

// h < -10 and h + t small against |h|: b = (t/r) phi S with S an 18-term series in q.
inline BlackValue asymptotic_expansion(double h, double t) {
  const double e = (t / h) * (t / h);
  const double r = (h - t) * (h + t);
  const double q = (h / r) * (h / r);
  double sum = (asymptotic_polynomial(17, e) * 33.0) * q;
  for (int k = 16; k >= 2; --k) sum = (asymptotic_polynomial(k, e) + sum) * ((2 * k - 1) * q);
  const double series = (asymptotic_polynomial(1, e) + sum) * q + 2.0;
  const double v = std::exp((t * t + h * h) * -0.5) * kOneOverSqrtTwoPi;
  return {((t / r) * v) * series, v};
}

// t < tau: a Taylor series in w = t^2 with a = 1 + h Phi(h) / phi(h).
inline BlackValue small_s_expansion(double h, double t) {
  const double y = erfcx(h * -kOneOverSqrtTwo);
  const double a = (h * kSqrtHalfPi) * y + 1.0;
  const double g = h * h;
  const double w = t * t;
  const double b1 = (3 * a - 1) + g * a;
  const double b2 = (15 * a - 7) + g * ((10 * a - 1) + g * a);
  const double b3 = (105 * a - 57) + g * ((105 * a - 18) + g * ((21 * a - 1) + g * a));
  const double b4 =
      (945 * a - 561) +
      g * ((1260 * a - 285) + g * ((378 * a - 33) + g * ((36 * a - 1) + g * a)));
  const double b5 =
      (10395 * a - 6555) +
      g * ((17325 * a - 4680) +
           g * ((6930 * a - 840) + g * ((990 * a - 52) + g * ((55 * a - 1) + g * a))));
  const double b6 =
      (135135 * a - 89055) +
      g * ((270270 * a - 82845) +
           g * ((135135 * a - 20370) +
                g * ((25740 * a - 1926) + g * ((2145 * a - 75) + g * ((78 * a - 1) + g * a)))));
  const double series =
      (t + t) *
      (a + w * (b1 / 6 + w * (b2 / 120 + w * (b3 / 5040 + w * (b4 / 362880 +
                                                             w * (b5 / 39916800 +
                                                                  (b6 * w) / 6227020800))))));
  const double v = std::exp((h * h + t * t) * -0.5) * kOneOverSqrtTwoPi;
  return {series * v, v};
}

// h + t > 0.85: the first term dominates, so the plain difference of Phi values is accurate.
inline BlackValue cdf_difference(double x, double s, double h, double t) {
  const double phi_plus = cdf(h + t);
  const double phi_minus = cdf(h - t);
  const double e = std::exp(0.5 * x);
  const double b = phi_plus * e - phi_minus / e;
  double v;
  if (x == 0) {
    v = std::exp((-0.125 * s) * s) * kOneOverSqrtTwoPi;
  } else if (s <= std::fabs(x) * kVegaCutOff) {
    v = 0.0;  // h*h would overflow; the true vega underflows
  } else {
    v = std::exp(std::fma(h, h, t * t) * -0.5) * kOneOverSqrtTwoPi;
  }
  return {b, v};
}

// Elsewhere: both terms scaled by exp(-(h^2 + t^2)/2) through erfcx, without cancellation.
inline BlackValue erfcx_difference(double h, double t) {
  const double x1 = erfcx((h + t) * -kOneOverSqrtTwo);
  const double x2 = erfcx((h - t) * -kOneOverSqrtTwo);
  const double e = std::exp((t * t + h * h) * -0.5);
  return {(0.5 * e) * (x1 - x2), e * kOneOverSqrtTwoPi};
}

}  // namespace detail

inline BlackValue normalised_black(double x, double s) {
  if (x > 0) {
    // Put-call symmetry: b(x, s) = 2 sinh(x/2) + b(-x, s); the vega is even in x.
    const BlackValue otm = normalised_black(-x, s);
    return {otm.b + normalised_intrinsic(x), otm.v};
  }
  if (s <= 0) return {0.0, 0.0};
  const double t = 0.5 * s;
  BlackValue value;
  if (x < kAsymptoticThreshold * s && s * t + x < kAsymptoticShiftedThreshold * s) {
    value = detail::asymptotic_expansion(x / s, t);
  } else {
    const double h = x / s;
    if (t < kSmallSThreshold) {
      value = detail::small_s_expansion(h, t);
    } else if (s * t + x > kCdfRegionThreshold * s) {
      value = detail::cdf_difference(x, s, h, t);
    } else {
      value = detail::erfcx_difference(h, t);
    }
  }
  value.b = clamp_positive(value.b);
  return value;
}

}  // namespace quorix
