// Standard normal distribution primitives: erfcx, Phi, phi.
#pragma once

#include <cmath>

namespace quorix {

inline constexpr double kOneOverSqrtTwo = 0.7071067811865476;
inline constexpr double kOneOverSqrtTwoPi = 0.3989422804014327;
inline constexpr double kOneOverSqrtPi = 0.5641895835477563;
inline constexpr double kInfinity = HUGE_VAL;

// Below this exp(z*z) stays finite, so erfcx is exp(z*z)*erfc(z).
inline constexpr double kErfcxSwitch = 26.5;
// Beyond |y| = 4 the tail form avoids the cancellation of 1 - erfc.
inline constexpr double kCdfSwitch = 4.0;

// Lentz continued-fraction parameters.
inline constexpr double kLentzTolerance = 1e-16;
inline constexpr double kLentzTiny = 1e-300;
inline constexpr double kLentzHuge = 9.999999999999999e+299;  // 1 / kLentzTiny
inline constexpr int kLentzTerms = 199;

// erf and erfc come from the C math library (fdlibm's algorithm in glibc and musl).
inline double erf(double z) { return std::erf(z); }
inline double erfc(double z) { return std::erfc(z); }

// exp(z^2) with z^2 split exactly into z*z + error: a plain exp(z*z) would lose z^2 ulps to
// the rounding of the square, which erfcx's callers amplify further by cancellation.
inline double exp_of_square(double z) {
  const double square = z * z;
  const double error = std::fma(z, z, -square);
  const double e = std::exp(square);
  return e == kInfinity ? e : std::fma(e, error, e);
}

// exp(z^2) * erfc(z).
inline double erfcx(double z) {
  if (std::isnan(z)) return z;
  if (z == kInfinity) return 0.0;
  if (z == -kInfinity) return kInfinity;
  if (z < kErfcxSwitch) return exp_of_square(z) * erfc(z);
  // sqrt(pi) * erfcx(z) = 1 / (z + a1 / (z + a2 / (z + ...))), a_n = n / 2 (modified Lentz).
  double f = z, c = z, d = 0.0;
  for (int n = 1; n <= kLentzTerms; ++n) {
    const double a = n * 0.5;
    const double d_next = std::fma(a, d, z);
    const double c_next = a / c + z;
    d = std::fabs(d_next) < kLentzTiny ? kLentzHuge : 1.0 / d_next;
    c = std::fabs(c_next) < kLentzTiny ? kLentzTiny : c_next;
    const double delta = c * d;
    f = f * delta;
    if (std::fabs(delta - 1.0) < kLentzTolerance) break;
  }
  return kOneOverSqrtPi / f;
}

// Phi(y) through erfcx: no cancellation in either tail.
inline double cdf_erfcx(double y) {
  if (std::isnan(y)) return y;
  if (y == kInfinity) return 1.0;
  if (y == -kInfinity) return 0.0;
  const double e = std::exp((-0.5 * y) * y) * 0.5;
  if (y < 0) return e * erfcx(y * -kOneOverSqrtTwo);
  return 1.0 - e * erfcx(y * kOneOverSqrtTwo);
}

// Phi(y), the standard normal distribution function.
inline double cdf(double y) {
  if (!(std::fabs(y) < kCdfSwitch)) return cdf_erfcx(y);
  if (y < 0) return erfc(y * -kOneOverSqrtTwo) * 0.5;
  return (erf(y * kOneOverSqrtTwo) + 1.0) * 0.5;
}

// phi(y), the standard normal density.
inline double pdf(double y) { return std::exp((-0.5 * y) * y) * kOneOverSqrtTwoPi; }

}  // namespace quorix
