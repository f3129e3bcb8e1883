// Inverse of the standard normal distribution function: Wichura's AS 241 (PPND16).
#pragma once

#include "kernels/simd/lanes.hpp"

#include "kernels/normal/normal.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

namespace detail {

// Rational approximations in r; numerators and denominators have degree 7.
struct RationalCoefficients {
  double numerator[8];
  double denominator[8];
};

inline constexpr RationalCoefficients kInverseCdfCentral = {
    {3.3871328727963666080e0, 1.3314166789178437745e+2, 1.9715909503065514427e+3,
     1.3731693765509461125e+4, 4.5921953931549871457e+4, 6.7265770927008700853e+4,
     3.3430575583588128105e+4, 2.5090809287301226727e+3},
    {1.0, 4.2313330701600911252e+1, 6.8718700749205790830e+2, 5.3941960214247511077e+3,
     2.1213794301586595867e+4, 3.9307895800092710610e+4, 2.8729085735721942674e+4,
     5.2264952788528545610e+3}};

inline constexpr RationalCoefficients kInverseCdfIntermediate = {
    {1.42343711074968357734e0, 4.63033784615654529590e0, 5.76949722146069140550e0,
     3.64784832476320460504e0, 1.27045825245236838258e0, 2.41780725177450611770e-1,
     2.27238449892691845833e-2, 7.74545014278341407640e-4},
    {1.0, 2.05319162663775882187e0, 1.67638483018380384940e0, 6.89767334985100004550e-1,
     1.48103976427480074590e-1, 1.51986665636164571966e-2, 5.47593808499534494600e-4,
     1.05075007164441684324e-9}};

inline constexpr RationalCoefficients kInverseCdfTail = {
    {6.65790464350110377720e0, 5.46378491116411436990e0, 1.78482653991729133580e0,
     2.96560571828504891230e-1, 2.65321895265761230930e-2, 1.24266094738807843860e-3,
     2.71155556874348757815e-5, 2.01033439929228813265e-7},
    {1.0, 5.99832206555887937690e-1, 1.36929880922735805310e-1, 1.48753612908506148525e-2,
     7.86869131145613259100e-4, 1.84631831751005468180e-5, 1.42151175831644588870e-7,
     2.04426310338993978564e-15}};

template <class D>
QUORIX_INLINE D evaluate_rational(const RationalCoefficients& c, D r) {
  D num = splat<D>(c.numerator[7]);
  D den = splat<D>(c.denominator[7]);
  for (int i = 6; i >= 0; --i) {
    num = num * r + c.numerator[i];
    den = den * r + c.denominator[i];
  }
  return num / den;
}

}  // namespace detail

// Each of the three rational regions is evaluated only when some lane lies in it.
template <class D>
QUORIX_INLINE D inverse_cdf(D p) {
  using namespace detail;
  const D q = p - 0.5;
  const Mask<D> central = fabs(q) <= 0.425;
  D result = splat<D>(0.0);
  if (any<D>(central)) result = q * evaluate_rational(kInverseCdfCentral, 0.180625 - q * q);
  if (!all<D>(central)) {
    const D r = sqrt(-log(select<D>(q < 0, p, 1.0 - p)));
    const Mask<D> intermediate = r < 5.0;
    D value = splat<D>(0.0);
    if (any<D>(~central & intermediate))
      value = evaluate_rational(kInverseCdfIntermediate, r - 1.6);
    if (any<D>(~central & ~intermediate)) {
      value = select<D>(intermediate, value, evaluate_rational(kInverseCdfTail, r - 5.0));
    }
    result = select<D>(central, result, select<D>(q < 0, -value, value));
  }
  result = select<D>(p <= 0, splat<D>(-kInfinity), select<D>(p >= 1, splat<D>(kInfinity), result));
  return select<D>(is_nan(p), p, result);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
