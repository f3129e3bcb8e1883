// Inverse of the normalised Black function (Let's Be Rational) over lanes: a rational-cubic first
// guess from one of four branches, refined by at most four third-order Householder steps. Each
// lane takes its own branch, objective and stopping step; a branch's formulas are evaluated only
// when some lane needs them, and a lane that has stopped keeps its value.
#pragma once

#include "kernels/simd/lanes.hpp"

#include "kernels/normal/inverse_cdf.hpp"
#include "kernels/pricing/normalised_black.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// Constants of the first guess's lower and upper maps.
inline constexpr double kOneOverSqrtThree = 0.5773502691896257;
inline constexpr double kSqrtThree = 1.7320508075688772;
inline constexpr double kEightSqrtThree = 13.856406460551018;
inline constexpr double kPiOverSix = 0.5235987755982989;
inline constexpr double kTwoPi = 6.283185307179586;
inline constexpr double kTwoPiOverSqrt27 = 1.2091995761561452;
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

template <class D>
QUORIX_INLINE BlackValueOf<D> evaluate_black(D x, D s, Mask<D> lanes) {
#ifdef QUORIX_COUNT_BLACK_EVALUATIONS
  for (int i = 0; i < kWidth<D>; ++i) {
    if (lanes[i]) count_black_evaluation();
  }
#else
  (void)lanes;
#endif
  return normalised_black(x, s);
}

// The cube root of a >= 0: e^(ln a / 3) and one Newton step, within about an ulp.
template <class D>
QUORIX_INLINE D cube_root(D a) {
  const D y = exp(log(a) * (1.0 / 3.0));
  const D refined = y + (a / (y * y) - y) * (1.0 / 3.0);
  return select<D>((a == 0) | (a == kInfinity), a, refined);
}

template <class D>
QUORIX_INLINE D rational_cubic_interpolation(D at, D x_l, D x_r, D y_l, D y_r, D d_l, D d_r, D r) {
  const D h = x_r - x_l;
  const D t = (at - x_l) / h;
  const D omega = 1.0 - t;
  const D t2 = t * t;
  const D omega2 = omega * omega;
  const D cubic = (y_r * t2 * t + (r * y_r - h * d_r) * t2 * omega +
                   (r * y_l + h * d_l) * t * omega2 + y_l * omega2 * omega) /
                  (1.0 + (r - 3.0) * t * omega);
  const D linear = y_r * t + y_l * omega;
  return select<D>(h == 0, (y_l + y_r) / 2.0, select<D>(r >= kMaxControlParameter, linear, cubic));
}

// The least control parameter that keeps the interpolant monotonic, convex or concave as the
// data are; with prefer_shape, a degenerate slope asks for the linear limit.
template <class D>
QUORIX_INLINE D minimum_rational_cubic_control_parameter(D d_l, D d_r, D m, bool prefer_shape) {
  const Mask<D> monotonic = (d_l * m >= 0) & (d_r * m >= 0);
  const Mask<D> curved = ((d_l <= m) & (m <= d_r)) | ((d_r <= m) & (m <= d_l));
  const D lowest = splat<D>(-kDblMax);
  const D shape = prefer_shape ? splat<D>(kMaxControlParameter) : lowest;
  const D r1 = select<D>(monotonic, select<D>(fabs(m) >= kSmallestNormal, (d_r + d_l) / m, shape), lowest);
  const D left = m - d_l;
  const D right = d_r - m;
  // max(|a / right|, |a / left|) in one division: rounded division is monotonic in the divisor.
  // It is used only where both are at least DBL_MIN.
  const D nearer = select<D>(fabs(right) < fabs(left), fabs(right), fabs(left));
  const D bend = fabs(d_r - d_l) / nearer;
  const D r2 =
      select<D>(curved, select<D>((fabs(left) >= kSmallestNormal) & (fabs(right) >= kSmallestNormal), bend, shape),
                select<D>(monotonic, shape, lowest));
  const D least = splat<D>(kMinControlParameter);
  return select<D>(monotonic | curved, fmax(least, fmax(r1, r2)), least);
}

// The control parameter that matches the second derivative c at the left end (lanes of
// at_left) or at the right end (the others).
template <class D>
QUORIX_INLINE D rational_cubic_control_parameter(Mask<D> at_left, D x_l, D x_r, D y_l, D y_r, D d_l,
                                                 D d_r, D c, bool prefer_shape) {
  const D h = x_r - x_l;
  const D m = (y_r - y_l) / h;
  const D numerator = h * c / 2.0 + (d_r - d_l);
  const D denominator = select<D>(at_left, m - d_l, d_r - m);
  const D steep =
      select<D>(numerator > 0, splat<D>(kMaxControlParameter), splat<D>(kMinControlParameter));
  const D fit = select<D>(fabs(numerator) < kSmallestNormal, splat<D>(0.0),
                          select<D>(fabs(denominator) < kSmallestNormal, steep, numerator / denominator));
  return fmax(fit, minimum_rational_cubic_control_parameter(d_l, d_r, m, prefer_shape));
}

// The intrinsic value theta * 2 sinh(x/2), clamped at 0.
template <class D>
QUORIX_INLINE D signed_intrinsic(D x, D theta) {
  const D sign = select<D>(theta < 0, splat<D>(-1.0), splat<D>(1.0));
  return fmax(sign * two_sinh_half(x), splat<D>(0.0));
}

// Which function of b the Householder steps drive to zero, by lane: b - beta (plain);
// 1/ln(b) - 1/ln(beta), nearly linear in s where b is tiny (lower); ln((b_max - beta) /
// (b_max - b)), nearly linear where b nears b_max (upper). Left and right bracket the root.
template <class D>
struct Objective {
  Mask<D> lower;
  Mask<D> upper;
  D left;
  D right;
};

// The Householder factors: the Newton step as a ratio, and the second and third order terms.
template <class D>
struct Step {
  Mask<D> guarded;  // the objective is defined and its derivative nonzero
  D numerator;      // the Newton step is numerator / denominator
  D denominator;
  D h2;
  D h3;
};

template <class D>
QUORIX_INLINE void blend(Mask<D> lanes, const Step<D>& from, Step<D>* into) {
  into->guarded = select<Mask<D>>(lanes, from.guarded, into->guarded);
  into->numerator = select<D>(lanes, from.numerator, into->numerator);
  into->denominator = select<D>(lanes, from.denominator, into->denominator);
  into->h2 = select<D>(lanes, from.h2, into->h2);
  into->h3 = select<D>(lanes, from.h3, into->h3);
}

template <class D>
QUORIX_INLINE Step<D> householder_step(const BlackValueOf<D>& value, D beta, D ln_beta, D x, D s,
                                       D b_max, const Objective<D>& objective, Mask<D> active) {
  // The higher-order factors only shape the step, not where it converges: one reciprocal of s
  // serves them, since divisions are the slowest operations of a step. p is the Black function's
  // own h = -|x| / s (p enters squared), so that the compiler divides once for both.
  const D p = -fabs(x) / s;
  const D inverse_s = 1.0 / s;
  const D b1 = p * p * inverse_s - s / 4.0;
  const D x_over_s2 = p * inverse_s;
  const D b2 = b1 * b1 - 3.0 * (x_over_s2 * x_over_s2) - 0.25;
  Step<D> step{value.v > 0, beta - value.b, value.v, b1, b2};
  if (any<D>(active & objective.lower)) {
    const D ln_b = log(value.b);
    const D q = value.v / value.b;
    const D inverse_ln_b = 1.0 / ln_b;
    const D lower_factor = 1.0 + 2.0 * inverse_ln_b;
    blend(
        objective.lower,
        {(value.b > 0) & (value.v > 0), (ln_beta - ln_b) * ln_b, ln_beta * q, b1 - q * lower_factor,
         b2 + 2.0 * q * q * (1.0 + (3.0 * inverse_ln_b) * (1.0 + inverse_ln_b)) -
             3.0 * b1 * q * lower_factor},
        &step);
  }
  if (any<D>(active & objective.upper)) {
    const D g = value.v / (b_max - value.b);
    blend(objective.upper,
          {(value.b < b_max) & (value.v > kSmallestNormal), -log((b_max - beta) / (b_max - value.b)), g,
           b1 + g, b2 + g * (2.0 * g + 3.0 * b1)},
          &step);
  }
  return step;
}

// The third-order Householder step N (1 + h2 N / 2) / (1 + N (h2 + h3 N / 6)), N = n / d, in
// one division: 3n (2d + h2 n) / (6d^2 + n (6 h2 d + h3 n)). Where n or d is too large or too
// small for their products, or the result is not finite, N is divided out first.
template <class D>
QUORIX_INLINE D householder_ratio(const Step<D>& step) {
  const D n = step.numerator, d = step.denominator;
  const D merged =
      (3.0 * n) * (2.0 * d + step.h2 * n) / (6.0 * (d * d) + n * (6.0 * step.h2 * d + step.h3 * n));
  const Mask<D> in_range = (fabs(d) > 0x1p-400) & (fabs(d) < 0x1p400) & (fabs(n) < 0x1p400) &
                           ((fabs(n) > 0x1p-400) | (n == 0)) & is_finite(merged);
  if (all<D>(in_range)) return merged;
  const D newton = n / d;
  const D divided = newton * (1.0 + step.h2 * newton / 2.0) /
                    (1.0 + newton * (step.h2 + step.h3 * newton * (1.0 / 6.0)));
  return select<D>(in_range, merged, divided);
}

// The state of one block's Householder iteration (move_lane copies every field).
template <class D>
struct Refinement {
  D beta, x, b_max, s;
  Objective<D> objective;
  Mask<D> active;
  D ln_beta;
  D ds = splat<D>(kDblMax);
  D ds_previous = splat<D>(0.0);
  Int<D> reversals = {};
};

template <class D>
QUORIX_INLINE Refinement<D> start_refinement(D beta, D x, D b_max, D s, Objective<D> objective,
                                             Mask<D> active) {
  const D ln_beta = any<D>(objective.lower) ? log(beta) : splat<D>(0.0);
  return {beta, x, b_max, s, objective, active, ln_beta};
}

// Moves lane i of one refinement into lane j of another.
template <class D>
QUORIX_INLINE void move_lane(const Refinement<D>& from, std::size_t i, Refinement<D>* to,
                             std::size_t j) {
  to->beta[j] = from.beta[i];
  to->x[j] = from.x[i];
  to->b_max[j] = from.b_max[i];
  to->s[j] = from.s[i];
  to->objective.lower[j] = from.objective.lower[i];
  to->objective.upper[j] = from.objective.upper[i];
  to->objective.left[j] = from.objective.left[i];
  to->objective.right[j] = from.objective.right[i];
  to->active[j] = from.active[i];
  to->ln_beta[j] = from.ln_beta[i];
  to->ds[j] = from.ds[i];
  to->ds_previous[j] = from.ds_previous[i];
  to->reversals[j] = from.reversals[i];
}

// The lanes that take a further step: active, and the last step not yet within rounding of s.
template <class D>
QUORIX_INLINE Mask<D> still_refining(const Refinement<D>& r) {
  return r.active & ~(fabs(r.ds) <= kDblEpsilon * r.s);
}

// Householder step number `step` of the lanes still active; false once none is.
template <class D>
QUORIX_INLINE bool refine_step(Refinement<D>* state, int step) {
  Refinement<D>& r = *state;
  r.active = still_refining(r);
  if (!any<D>(r.active)) return false;
  if (step >= 2) {
    r.reversals = r.reversals - (r.active & (r.ds * r.ds_previous < 0));
    // A step that lands within rounding of a bracket end has converged onto it (a first
    // guess may round a few ulps past the end it interpolates); bisecting there would throw
    // the converged value away, so only steps clearly outside the bracket bisect.
    const D slack = kBracketSlack * r.s;
    const Mask<D> inside = (r.s > r.objective.left - slack) & (r.s < r.objective.right + slack);
    const Mask<D> bisect = r.active & ((r.reversals == 3) | ~inside);
    r.s = select<D>(bisect, (r.objective.left + r.objective.right) / 2.0, r.s);
    r.active = r.active & ~(bisect & (r.objective.right - r.objective.left <= kDblEpsilon * r.s));
    r.reversals = select<Int<D>>(bisect, Int<D>{}, r.reversals);
    r.ds = select<D>(bisect, splat<D>(0.0), r.ds);
    if (!any<D>(r.active)) return false;
  }
  r.ds_previous = r.ds;
  const BlackValueOf<D> value = evaluate_black(r.x, r.s, r.active);
  Objective<D>& o = r.objective;
  o.right = select<D>(r.active & (value.b > r.beta) & (r.s < o.right), r.s, o.right);
  o.left = select<D>(r.active & (value.b < r.beta) & (r.s > o.left), r.s, o.left);
  const Step<D> h = householder_step(value, r.beta, r.ln_beta, r.x, r.s, r.b_max, o, r.active);
  r.ds = select<D>(h.guarded, householder_ratio(h), (o.left + o.right) / 2.0 - r.s);
  r.ds = fmax(r.ds, -r.s / 2.0);  // a NaN step becomes -s/2
  r.s = select<D>(r.active, r.s + r.ds, r.s);
  return true;
}

// Blocks refined side by side, a step of each in turn, through step `last`: each step is a long
// chain of dependent divisions, which the other blocks' steps overlap.
template <int N, class D>
QUORIX_STAGE void householder_refine_blocks(Refinement<D>* blocks,
                                            int last = kMaxHouseholderSteps) {
  bool more[N];
  for (int k = 0; k < N; ++k) more[k] = true;
  for (int step = 1; step <= last; ++step) {
    bool any_more = false;
    for (int k = 0; k < N; ++k) {
      more[k] = more[k] && refine_step(&blocks[k], step);
      any_more = any_more || more[k];
    }
    if (!any_more) break;
  }
}

// The last step of blocks refined through the one before.
template <class D>
QUORIX_STAGE void householder_last_step(Refinement<D>* block) {
  refine_step(block, kMaxHouseholderSteps);
}

template <class D>
QUORIX_INLINE D householder_refine(D beta, D x, D b_max, D s, Objective<D> objective,
                                   Mask<D> active) {
  Refinement<D> r = start_refinement(beta, x, b_max, s, objective, active);
  householder_refine_blocks<1>(&r);
  return r.s;
}

// Branch L: beta below b_l, interpolated in the lower map f = 2pi/sqrt(27) |x| Phi(-z)^3.
template <class D>
QUORIX_INLINE D lower_guess(D beta, D x, D s_l, D b_l) {
  const D ax = fabs(x);
  const D z = kOneOverSqrtThree * ax / s_l;
  const D y = z * z;
  const D phi_cdf = cdf(-z);
  const D phi_pdf = pdf(z);
  const D s_l2 = s_l * s_l;
  const D curvature = kPiOverSix * (y / (s_l2 * s_l)) * phi_cdf *
                      (kEightSqrtThree * s_l * ax +
                       (3.0 * s_l2 * (s_l2 - 8.0) - 8.0 * x * x) * phi_cdf / phi_pdf) *
                      exp(2.0 * y + s_l2 / 4.0);
  const Mask<D> flat = s_l <= 0;
  const D slope = select<D>(flat, splat<D>(1.0),
                            kTwoPi * y * phi_cdf * phi_cdf * exp(y + s_l2 / 8.0));
  const D f_l = select<D>(flat | (x == 0), splat<D>(0.0),
                          kTwoPiOverSqrt27 * ax * phi_cdf * phi_cdf * phi_cdf);
  const D zero = splat<D>(0.0), one = splat<D>(1.0);
  const D r = rational_cubic_control_parameter(Mask<D>{}, zero, b_l, zero, f_l, one, slope,
                                               curvature, true);
  D f = rational_cubic_interpolation(beta, zero, b_l, zero, f_l, one, slope, r);
  const D t = beta / b_l;
  f = select<D>(f > 0, f, (f_l * t + b_l * (1.0 - t)) * t);
  const D s =
      fabs(x / (kSqrtThree * inverse_cdf(cube_root(f / (kTwoPiOverSqrt27 * ax)))));
  return select<D>(f > 0, s, zero);
}

// Branch U: beta above b_u, interpolated in the upper map f = Phi(-s/2).
template <class D>
QUORIX_INLINE D upper_guess(D beta, D x, D s_u, D b_u, D b_max) {
  const D f_u = cdf(s_u * -0.5);
  const D w = (x / s_u) * (x / s_u);
  const Mask<D> at_the_money = x == 0;
  const D slope = select<D>(at_the_money, splat<D>(-0.5), -0.5 * exp(w / 2.0));
  const D curvature = select<D>(at_the_money, splat<D>(0.0),
                                kSqrtHalfPi * exp(w + s_u * s_u / 8.0) * w / s_u);
  const D h = b_max - b_u;
  const Mask<D> smooth = fabs(curvature) < kSqrtDblMax;
  const D zero = splat<D>(0.0), half = splat<D>(-0.5);
  const D r = rational_cubic_control_parameter(~Mask<D>{}, b_u, b_max, f_u, zero, slope, half,
                                               curvature, true);
  D f = select<D>(smooth, rational_cubic_interpolation(beta, b_u, b_max, f_u, zero, slope, half, r),
                  zero);
  const D t = (beta - b_u) / h;
  f = select<D>(smooth & (f > 0), f, (f_u * (1.0 - t) + h * t / 2.0) * (1.0 - t));
  return -2.0 * inverse_cdf(f);
}

}  // namespace lbr

// An inversion in its stages, each with its own result: the reduction to an out-of-the-money
// call and the Black function at the central point (Reduced, in Start); the Black function at the
// side point, which picks the branch of the first guess; the first guess with its objective and
// bracket (Guess); the Householder refinement. Lanes not active are settled at 0 or +inf.
template <class D>
struct Reduced {
  D beta;  // the reduced target, an out-of-the-money call's
  D x;     // its log-moneyness, <= 0
  D b_max;
  D s_c;  // the central point sqrt(2|x|)
  BlackValueOf<D> central;
  Mask<D> below;  // beta below the central value: the side point is s_l, else s_u
  D s_side;
};

template <class D>
struct Start {
  Reduced<D> reduced;
  Mask<D> active;  // the lanes with a time value to invert
  D settled;       // the others' total volatility: 0, or +inf at or above the maximum
};

template <class D>
struct Guess {
  D s;
  lbr::Objective<D> objective;
};

template <class D>
QUORIX_STAGE Start<D> start_inversion(D beta, D x, D theta) {
  using namespace lbr;
  const Mask<D> in_the_money = theta * x > 0;
  if (any<D>(in_the_money)) {
    beta = select<D>(in_the_money, fmax(beta - signed_intrinsic(x, theta), splat<D>(0.0)), beta);
    theta = select<D>(in_the_money, -theta, theta);
  }
  const D zero = splat<D>(0.0);
  Start<D> start{{beta, select<D>(theta < 0, -x, x), zero, zero, {zero, zero}, Mask<D>{}, zero},
                 Mask<D>{}, zero};
  Reduced<D>& r = start.reduced;  // x reduced to an out-of-the-money call's, x <= 0
  r.b_max = exp(r.x * 0.5);
  const Mask<D> nothing = beta <= 0;
  const Mask<D> unbounded = ~nothing & (beta >= r.b_max);
  start.active = ~nothing & ~unbounded;
  start.settled = select<D>(unbounded, splat<D>(kInfinity), zero);
  r.s_c = sqrt(2.0 * fabs(x));
  if (!any<D>(start.active)) return start;
  r.central = evaluate_black(r.x, r.s_c, start.active);
  r.below = beta < r.central.b;
  // The side point s_l = s_c - b / v below the central value, s_u = s_c + (b_max - b) / v above
  // it (s_c where v vanishes): one division serves both.
  const D s_side = r.s_c + select<D>(r.below, -r.central.b, r.b_max - r.central.b) / r.central.v;
  r.s_side = select<D>(r.below | (r.central.v > kSmallestNormal), s_side, r.s_c);
  return start;
}

// The Black function at the side point, which picks the branch of the first guess.
template <class D>
QUORIX_STAGE BlackValueOf<D> side_value(const Reduced<D>& r, Mask<D> active) {
  return lbr::evaluate_black(r.x, r.s_side, active);
}

// Branch L: beta below the side value below the central point; branch U: above it above.
template <class D>
QUORIX_INLINE Mask<D> lower_branch(const Reduced<D>& r, const BlackValueOf<D>& side,
                                   Mask<D> active) {
  return active & r.below & (r.beta < side.b);
}

template <class D>
QUORIX_INLINE Mask<D> upper_branch(const Reduced<D>& r, const BlackValueOf<D>& side,
                                   Mask<D> active) {
  return active & ~r.below & (r.beta > side.b);
}

// The first guess from the side value: interpolated in s against b between the central and the
// side point, or in the lower or upper map beyond the side point.
template <class D>
QUORIX_STAGE Guess<D> first_guess(const Reduced<D>& in, const BlackValueOf<D>& side,
                                  Mask<D> active) {
  using namespace lbr;
  const Mask<D> lower = lower_branch(in, side, active);
  const Mask<D> upper = upper_branch(in, side, active);
  const Mask<D> inner = active & ~lower & ~upper;
  const D y_l = select<D>(in.below, in.s_side, in.s_c);
  const D y_r = select<D>(in.below, in.s_c, in.s_side);
  Guess<D> guess{in.s_c, {lower, upper & ~(in.beta <= in.b_max * 0.5), y_l, y_r}};
  if (any<D>(inner)) {
    const D x_l = select<D>(in.below, side.b, in.central.b);
    const D x_r = select<D>(in.below, in.central.b, side.b);
    const D d_l = 1.0 / select<D>(in.below, side.v, in.central.v);
    const D d_r = 1.0 / select<D>(in.below, in.central.v, side.v);
    const D r = rational_cubic_control_parameter(~in.below, x_l, x_r, y_l, y_r, d_l, d_r,
                                                 splat<D>(0.0), false);
    guess.s = rational_cubic_interpolation(in.beta, x_l, x_r, y_l, y_r, d_l, d_r, r);
  }
  Objective<D>& objective = guess.objective;
  if (any<D>(lower)) {
    guess.s = select<D>(lower, lower_guess(in.beta, in.x, in.s_side, side.b), guess.s);
    objective.left = select<D>(lower, splat<D>(0.0), objective.left);
    objective.right = select<D>(lower, in.s_side, objective.right);
  }
  if (any<D>(upper)) {
    guess.s = select<D>(upper, upper_guess(in.beta, in.x, in.s_side, side.b, in.b_max), guess.s);
    objective.left = select<D>(upper, in.s_side, objective.left);
    objective.right = select<D>(upper, splat<D>(kDblMax), objective.right);
  }
  return guess;
}

// Total volatility s with normalised_black(x, s) = beta for a call (theta = +1) or put (-1).
// 0 when the price carries no time value; +inf when beta is at or above its maximum.
template <class D>
QUORIX_INLINE D normalised_implied_volatility(D beta, D x, D theta) {
  const Start<D> start = start_inversion(beta, x, theta);
  if (!any<D>(start.active)) return start.settled;
  const Reduced<D>& r = start.reduced;
  const Guess<D> guess = first_guess(r, side_value(r, start.active), start.active);
  const D refined =
      lbr::householder_refine(r.beta, r.x, r.b_max, guess.s, guess.objective, start.active);
  return select<D>(start.active, refined, start.settled);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
