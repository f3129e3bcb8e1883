// Standard normal distribution primitives over lanes: erfcx, Phi, phi.
#pragma once

#include "pricing/elementary.hpp"
#include "simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

inline constexpr double kOneOverSqrtTwo = 0.7071067811865476;
inline constexpr double kOneOverSqrtTwoPi = 0.3989422804014327;
inline constexpr double kOneOverSqrtPi = 0.5641895835477563;
inline constexpr double kInfinity = __builtin_huge_val();

// exp(z^2) with z^2 split exactly into z*z + error: a plain exp(z*z) would lose z^2 ulps to
// the rounding of the square, which erfcx's callers amplify further by cancellation.
template <class D>
QUORIX_INLINE D exp_of_square(D z) {
  return exp_of_product(z, z);
}

namespace detail {
// (2n - 1)!! (-1)^n for n = 7 down to 1: erfcx(z) sqrt(pi) z = sum_n c_n (2 z^2)^-n, whose first
// omitted term is below 1e-19 for z >= 28.
inline constexpr double kErfcxAsymptotic[] = {-135135.0, 10395.0, -945.0, 105.0, -15.0, 3.0, -1.0};
}  // namespace detail

// exp(z^2) * erfc(z): the product below 1.25, exp(R/S - 0.5625) / z from erfc's tail form on
// [1.25, 28) (the exp(-z^2) factors cancel exactly), and the asymptotic series beyond.
template <class D>
QUORIX_INLINE D erfcx(D z) {
  using namespace detail;
  const Mask<D> rational = (z >= kErfMiddle) & (z < kErfcZero);
  const Mask<D> asymptotic = z >= kErfcZero;
  D result = splat<D>(0.0);
  if (any<D>(~(rational | asymptotic))) {
    result = exp_of_square(z) * erfc(z);
  }
  if (any<D>(rational)) {
    result =
        select<D>(rational, exp_of_sum(splat<D>(-0.5625), erfc_tail_correction(z)) / z, result);
  }
  if (any<D>(asymptotic)) {
    const D u = 0.5 / (z * z);
    D series = splat<D>(kErfcxAsymptotic[0]);
    for (int i = 1; i < 7; ++i) series = fma(series, u, splat<D>(kErfcxAsymptotic[i]));
    const D value = fma(series, u, splat<D>(1.0)) * (kOneOverSqrtPi / z);
    result = select<D>(asymptotic, value, result);
  }
  return result;
}

// Phi(y) = erfc(-y / sqrt2) / 2, through erfc(|y| / sqrt2) alone: below zero that is the value,
// above it the complement, so one set of erfc branches serves both signs. erfc keeps relative
// accuracy in its tail, so Phi(y) does deep below zero.
template <class D>
QUORIX_INLINE D cdf(D y) {
  const D half_tail = erfc(fabs(y) * kOneOverSqrtTwo) * 0.5;
  return select<D>(y < 0, half_tail, 1.0 - half_tail);
}

// phi(y), the standard normal density.
template <class D>
QUORIX_INLINE D pdf(D y) {
  return exp((-0.5 * y) * y) * kOneOverSqrtTwoPi;
}

// One-lane forms for the scalar solver code.
inline double erfcx(double z) {
  return erfcx(Lanes<1>{z})[0];
}
inline double cdf(double y) {
  return cdf(Lanes<1>{y})[0];
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
