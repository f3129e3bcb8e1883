// Inverse of the normalised Black function (Let's Be Rational): a rational-cubic first guess
// from one of four branches, refined by at most four third-order Householder steps.
#pragma once

#include <cmath>

#include "simd/lanes.hpp"

#include "pricing/inverse_cdf.hpp"
#include "pricing/normalised_black.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

inline constexpr double kDblEpsilon = 2.220446049250313e-16;
inline constexpr double kDblMin = 2.2250738585072014e-308;
inline constexpr double kDblMax = 1.7976931348623157e+308;
inline constexpr double kSqrtDblMax = 1.3407807929942596e+154;
inline constexpr double kMinControlParameter = -0.9999999850695;
inline constexpr double kMaxControlParameter = 4.054944344523184e+31;  // at or above: linear
inline constexpr int kMaxHouseholderSteps = 4;
inline constexpr double kBracketSlack = 4 * kDblEpsilon;  // relative

// Tests define this hook to count evaluations of the Black function per inversion.
#ifdef QUORIX_COUNT_BLACK_EVALUATIONS
void count_black_evaluation();
#endif

namespace lbr {

inline BlackValue evaluate_black(double x, double s) {
#ifdef QUORIX_COUNT_BLACK_EVALUATIONS
  count_black_evaluation();
#endif
  return normalised_black(x, s);
}

inline double rational_cubic_interpolation(double at, double x_l, double x_r, double y_l,
                                           double y_r, double d_l, double d_r, double r) {
  const double h = x_r - x_l;
  if (h == 0) return (y_l + y_r) / 2;
  const double t = (at - x_l) / h;
  const double omega = 1 - t;
  if (r >= kMaxControlParameter) return y_r * t + y_l * omega;
  const double t2 = t * t;
  const double omega2 = omega * omega;
  return (y_r * t2 * t + (r * y_r - h * d_r) * t2 * omega + (r * y_l + h * d_l) * t * omega2 +
          y_l * omega2 * omega) /
         (1 + (r - 3) * t * omega);
}

inline double minimum_rational_cubic_control_parameter(double d_l, double d_r, double m,
                                                       bool prefer_shape) {
  const bool monotonic = d_l * m >= 0 && d_r * m >= 0;
  const bool convex = d_l <= m && m <= d_r;
  const bool concave = d_r <= m && m <= d_l;
  if (!monotonic && !convex && !concave) return kMinControlParameter;
  double r1 = -kDblMax, r2 = -kDblMax;
  if (monotonic) {
    if (std::fabs(m) >= kDblMin) {
      r1 = (d_r + d_l) / m;
    } else if (prefer_shape) {
      r1 = kMaxControlParameter;
    }
  }
  if (convex || concave) {
    const double left = m - d_l;
    const double right = d_r - m;
    if (std::fabs(left) >= kDblMin && std::fabs(right) >= kDblMin) {
      r2 = std::fmax(std::fabs((d_r - d_l) / right), std::fabs((d_r - d_l) / left));
    } else if (prefer_shape) {
      r2 = kMaxControlParameter;
    }
  } else if (monotonic && prefer_shape) {
    r2 = kMaxControlParameter;
  }
  return std::fmax(kMinControlParameter, std::fmax(r1, r2));
}

enum class Side { kLeft, kRight };

// The control parameter that matches the second derivative c at the given end.
inline double rational_cubic_control_parameter(Side side, double x_l, double x_r, double y_l,
                                               double y_r, double d_l, double d_r, double c,
                                               bool prefer_shape) {
  const double h = x_r - x_l;
  const double m = (y_r - y_l) / h;
  const double numerator = h * c / 2 + (d_r - d_l);
  const double denominator = side == Side::kLeft ? m - d_l : d_r - m;
  double fit;
  if (std::fabs(numerator) < kDblMin) {
    fit = 0;
  } else if (std::fabs(denominator) < kDblMin) {
    fit = numerator > 0 ? kMaxControlParameter : kMinControlParameter;
  } else {
    fit = numerator / denominator;
  }
  return std::fmax(fit, minimum_rational_cubic_control_parameter(d_l, d_r, m, prefer_shape));
}

// The intrinsic value theta * 2 sinh(x/2), clamped at 0.
inline double signed_intrinsic(double x, double theta) {
  const double sign = theta < 0 ? -1.0 : 1.0;
  return std::fmax(sign * two_sinh_half(x), 0.0);
}

// Which function of b the Householder steps drive to zero.
enum class Objective {
  kPlain,  // b - beta
  kLower,  // 1/ln(b) - 1/ln(beta): nearly linear in s where b is tiny
  kUpper,  // ln((b_max - beta) / (b_max - b)): nearly linear where b nears b_max
};

struct Bracket {
  double left;
  double right;
};

inline double householder_refine(double beta, double x, double b_max, double s, Bracket bracket,
                                 Objective objective) {
  const double ln_beta = objective == Objective::kLower ? std::log(beta) : 0.0;
  double ds = kDblMax;
  double ds_previous = 0;
  int reversals = 0;
  for (int step = 1; step <= kMaxHouseholderSteps; ++step) {
    if (std::fabs(ds) <= kDblEpsilon * s) break;
    if (step >= 2) {
      if (ds * ds_previous < 0) ++reversals;
      // A step that lands within rounding of a bracket end has converged onto it (a first
      // guess may round a few ulps past the end it interpolates); bisecting there would throw
      // the converged value away, so only steps clearly outside the bracket bisect.
      const double slack = kBracketSlack * s;
      if (reversals == 3 || !(s > bracket.left - slack && s < bracket.right + slack)) {
        s = (bracket.left + bracket.right) / 2;
        if (bracket.right - bracket.left <= kDblEpsilon * s) break;
        reversals = 0;
        ds = 0;
      }
    }
    ds_previous = ds;
    const BlackValue value = evaluate_black(x, s);
    if (value.b > beta && s < bracket.right) {
      bracket.right = s;
    } else if (value.b < beta && s > bracket.left) {
      bracket.left = s;
    }
    const double p = x / s;
    const double b1 = p * p / s - s / 4;
    const double x_over_s2 = x / (s * s);
    const double b2 = b1 * b1 - 3 * (x_over_s2 * x_over_s2) - 0.25;
    double newton = 0, h2 = 0, h3 = 0;
    bool guarded = false;
    switch (objective) {
      case Objective::kPlain:
        guarded = value.v > 0;
        newton = (beta - value.b) / value.v;
        h2 = b1;
        h3 = b2;
        break;
      case Objective::kLower: {
        guarded = value.b > 0 && value.v > 0;
        const double ln_b = std::log(value.b);
        const double q = value.v / value.b;
        const double lower_factor = 1 + 2 / ln_b;
        newton = (ln_beta - ln_b) * ln_b / ln_beta / q;
        h2 = b1 - q * lower_factor;
        h3 = b2 + 2 * q * q * (1 + (3 / ln_b) * (1 + 1 / ln_b)) - 3 * b1 * q * lower_factor;
        break;
      }
      case Objective::kUpper: {
        guarded = value.b < b_max && value.v > kDblMin;
        const double g = value.v / (b_max - value.b);
        newton = -std::log((b_max - beta) / (b_max - value.b)) / g;
        h2 = b1 + g;
        h3 = b2 + g * (2 * g + 3 * b1);
        break;
      }
    }
    if (guarded) {
      ds = newton * (1 + h2 * newton / 2) / (1 + newton * (h2 + h3 * newton / 6));
    } else {
      ds = (bracket.left + bracket.right) / 2 - s;
    }
    ds = std::fmax(ds, -s / 2);  // a NaN step becomes -s/2
    s = s + ds;
  }
  return s;
}

// Branch L: beta below b_l, interpolated in the lower map f = 2pi/sqrt(27) |x| Phi(-z)^3.
inline double lower_branch(double beta, double x, double s_l, double b_l, double b_max) {
  const double ax = std::fabs(x);
  const double z = 0.5773502691896257 * ax / s_l;
  const double y = z * z;
  const double phi_cdf = cdf(-z);
  const double phi_pdf = std::exp((-0.5 * z) * z) / 2.5066282746310002;
  const double s_l2 = s_l * s_l;
  const double curvature =
      0.5235987755982989 * (y / (s_l2 * s_l)) * phi_cdf *
      (13.856406460551018 * s_l * ax + (3 * s_l2 * (s_l2 - 8) - 8 * x * x) * phi_cdf / phi_pdf) *
      std::exp(2 * y + s_l2 / 4);
  double slope, f_l;
  if (s_l <= 0) {
    slope = 1;
    f_l = 0;
  } else {
    slope = 6.283185307179586 * y * phi_cdf * phi_cdf * std::exp(y + s_l2 / 8);
    f_l = x != 0 ? 1.2091995761561452 * ax * phi_cdf * phi_cdf * phi_cdf : 0.0;
  }
  const double r =
      rational_cubic_control_parameter(Side::kRight, 0, b_l, 0, f_l, 1, slope, curvature, true);
  double f = rational_cubic_interpolation(beta, 0, b_l, 0, f_l, 1, slope, r);
  if (!(f > 0)) {
    const double t = beta / b_l;
    f = (f_l * t + b_l * (1 - t)) * t;
  }
  double s = 0;
  if (f > 0) {
    s = std::fabs(x / (1.7320508075688772 *
                       inverse_cdf(std::cbrt(f / (1.2091995761561452 * ax)))));
  }
  return householder_refine(beta, x, b_max, s, {0, s_l}, Objective::kLower);
}

// Branch U: beta above b_u, interpolated in the upper map f = Phi(-s/2).
inline double upper_branch(double beta, double x, double s_u, double b_u, double b_max) {
  const double f_u = cdf(s_u * -0.5);
  double slope, curvature;
  if (x == 0) {
    slope = -0.5;
    curvature = 0;
  } else {
    const double w = (x / s_u) * (x / s_u);
    slope = -0.5 * std::exp(w / 2);
    curvature = 1.2533141373155003 * std::exp(w + s_u * s_u / 8) * w / s_u;
  }
  const double h = b_max - b_u;
  double f = 0;
  const bool smooth = std::fabs(curvature) < kSqrtDblMax;
  if (smooth) {
    const double r = rational_cubic_control_parameter(Side::kLeft, b_u, b_max, f_u, 0, slope,
                                                      -0.5, curvature, true);
    f = rational_cubic_interpolation(beta, b_u, b_max, f_u, 0, slope, -0.5, r);
  }
  if (!smooth || !(f > 0)) {
    const double t = (beta - b_u) / h;
    f = (f_u * (1 - t) + h * t / 2) * (1 - t);
  }
  const double s = -2 * inverse_cdf(f);
  const Objective objective = beta <= b_max / 2 ? Objective::kPlain : Objective::kUpper;
  return householder_refine(beta, x, b_max, s, {s_u, kDblMax}, objective);
}

}  // namespace lbr

// Total volatility s with normalised_black(x, s) = beta for a call (theta = +1) or put (-1).
// 0 when the price carries no time value; +inf when beta is at or above its maximum.
inline double normalised_implied_volatility(double beta, double x, double theta) {
  if (theta * x > 0) {
    beta = std::fmax(beta - lbr::signed_intrinsic(x, theta), 0.0);
    theta = -theta;
  }
  const double xr = theta < 0 ? -x : x;  // reduced to an out-of-the-money call, xr <= 0
  if (beta <= 0) return 0.0;
  const double b_max = std::exp(xr / 2);
  if (beta >= b_max) return kInfinity;

  const double s_c = std::sqrt(2 * std::fabs(x));
  const BlackValue central = lbr::evaluate_black(xr, s_c);
  if (beta < central.b) {
    const double s_l = s_c - central.b / central.v;
    const BlackValue lower = lbr::evaluate_black(xr, s_l);
    if (beta < lower.b) return lbr::lower_branch(beta, xr, s_l, lower.b, b_max);
    const double r = lbr::rational_cubic_control_parameter(
        lbr::Side::kRight, lower.b, central.b, s_l, s_c, 1 / lower.v, 1 / central.v, 0, false);
    const double s = lbr::rational_cubic_interpolation(beta, lower.b, central.b, s_l, s_c,
                                                       1 / lower.v, 1 / central.v, r);
    return lbr::householder_refine(beta, xr, b_max, s, {s_l, s_c}, lbr::Objective::kPlain);
  }
  const double s_u = central.v > kDblMin ? s_c + (b_max - central.b) / central.v : s_c;
  const BlackValue upper = lbr::evaluate_black(xr, s_u);
  if (beta > upper.b) return lbr::upper_branch(beta, xr, s_u, upper.b, b_max);
  const double r = lbr::rational_cubic_control_parameter(
      lbr::Side::kLeft, central.b, upper.b, s_c, s_u, 1 / central.v, 1 / upper.v, 0, false);
  const double s = lbr::rational_cubic_interpolation(beta, central.b, upper.b, s_c, s_u,
                                                     1 / central.v, 1 / upper.v, r);
  return lbr::householder_refine(beta, xr, b_max, s, {s_c, s_u}, lbr::Objective::kPlain);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
