// The implied normal volatility: the sigma at which a Bachelier price equals a target. With the
// time value T (the undiscounted price less the intrinsic value) and a = |f - k|, the root u = a /
// v of g(u) / u = psi = T / a (g the normalised Bachelier function, decreasing in u) is refined by
// a Householder step of the third order on ln(g(u) / (u psi)) from a first guess good to 1.5e-4,
// which leaves it exact to the last bits; then sigma = a / (u sqrt t).
#pragma once

#include "kernels/pricing/bachelier.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

inline constexpr double kSqrtTwoPi = 2.5066282746310002;
inline constexpr double kLnSqrtTwoPi = 0.91893853320467274;
// ln(1 + e) / e = 1 - e / 2 + e^2 / 3 - ..., for |e| up to the limit.
inline constexpr double kLogSeries[] = {1.0, -1.0 / 2, 1.0 / 3, -1.0 / 4, 1.0 / 5, -1.0 / 6};
inline constexpr double kLogSeriesLimit = 0x1p-10;
// Terms of Y's continued fraction in the guess far from the money.
inline constexpr int kGuessTerms = 6;

// u as a polynomial of degree 16 in x = (2 ln psi - (low + high)) / (high - low) over psi in
// [1e-6, 3], within 3.8e-5 of the root (tools/fit-bachelier-guess).
inline constexpr double kGuessLow = -13.815510557964274, kGuessHigh = 1.0986122886681098;
inline constexpr double kGuessPolynomial[] = {
    2.2748691460369335, -2.22772007121175, -0.4792361174510237, -0.08020613888405173,
    0.10024261793024575, 0.2475595763720785, 0.3008168108660901, -0.11324058629058756,
    -0.2873717930851024, 0.9928425170526342, 1.2266247625057416, -1.457717997829658,
    -2.022975165689114, 0.7727824715508894, 1.3110983463092793, -0.13819202837650502,
    -0.3054391672525157,
};

// ln x to within 3e-8, all the guess needs (its error moves u by less than 1e-7 of itself):
// x = 2^k (1 + f) and ln(1 + f) = 2 atanh(s), s = f / (2 + f) and |s| < 0.172, to the s^7 term.
template <class D>
QUORIX_INLINE D guess_log(D x) {
  const detail::LogSplit<D> split = detail::log_split(x);
  const D s = split.f / (split.f + 2.0);
  const D z = s * s;
  const D series = fma(z, fma(z, fma(z, splat<D>(2.0 / 7), splat<D>(2.0 / 5)), splat<D>(2.0 / 3)),
                       splat<D>(2.0));
  return fma(split.k, splat<D>(kLn2), s * series);
}

// The first guess of u for psi > 0. Near the money (psi > 3) the series of g / u at small u,
// (1/u + u/2) / sqrt(2 pi) - 1/2 = psi, solved as a quadratic; far out (psi < 1e-6) the asymptote
// g(u) ~ phi(u) Y(u) by four fixed-point steps (good to 1.5e-4); between, the polynomial.
template <class D>
QUORIX_INLINE D bachelier_first_guess(D psi) {
  const Mask<D> near = psi > 3.0, far = psi < 1e-6;
  const D log_psi = guess_log(psi);
  D u = estrin(kGuessPolynomial,
               (2.0 * log_psi - (kGuessLow + kGuessHigh)) * (1.0 / (kGuessHigh - kGuessLow)));
  if (any<D>(near)) {
    const D s = kSqrtTwoPi * (psi + 0.5);
    u = select<D>(near, 2.0 / (s + sqrt(clamp_positive(fma(s, s, splat<D>(-2.0))))), u);
  }
  if (any<D>(far)) {
    // u^2 = -2 ln(psi sqrt(2 pi) u / Y(u)), with Y from six terms of its continued fraction.
    const D scaled = log_psi + kLnSqrtTwoPi;
    D w = sqrt(-2.0 * select<D>(far, scaled, splat<D>(-1.0)));
    for (int i = 0; i < 4; ++i) {
      const Convergent<D> k = mills_convergent(w, kGuessTerms);
      w = sqrt(clamp_positive(-2.0 * (scaled + log((w * fma(w, k.b, k.a)) / k.a))));
    }
    u = select<D>(far, w, u);
  }
  return u;
}

// One Householder step of the third order on L(u) = ln(g(u) / (u psi)), with R = phi(u) / g(u) and
// w = 1 / u: L' = -R w, L'' = R (1 + (2 - R) w^2) and L''' = R' (1 + 2 (1 - R) w^2) - 2 R (2 - R) w^3
// where R' = R ((R - 1) w - u). L is evaluated as the log of a ratio near 1 at the root, so that
// its own rounding does not grow with |ln psi|. The correction terms multiply by 1 / u and 1 / L'
// rather than divide.
template <class D>
QUORIX_INLINE D bachelier_householder_step(D u, D psi) {
  const D phi = exact_pdf(u);
  const D g = normalised_bachelier(u, phi);
  const D ratio = phi / g;
  const D w = 1.0 / u;
  const D w2 = w * w;
  // Near the root L = ln(1 + e) with |e| small: after the first guess, below 2^-10 everywhere but
  // far out, where the log itself is taken. Six terms of the series leave an error below
  // 2^-60 |e|, far below what the step needs.
  const D quotient = g / (u * psi);
  const D e = quotient - 1.0;
  D objective = e * estrin(kLogSeries, e);
  const Mask<D> wide = fabs(e) > kLogSeriesLimit;
  if (any<D>(wide)) objective = select<D>(wide, log(quotient), objective);
  const D second = ratio * fma(2.0 - ratio, w2, splat<D>(1.0));
  const D ratio_slope = ratio * fma(ratio - 1.0, w, -u);
  const D third = ratio_slope * fma(2.0 * (1.0 - ratio), w2, splat<D>(1.0)) -
                  ((2.0 * ratio) * (2.0 - ratio)) * (w2 * w);
  const D over_first = -u / ratio;
  const D newton = -objective * over_first;
  const D h2 = second * over_first, h3 = third * over_first;
  return u + (newton * fma(h2 * newton, splat<D>(0.5), splat<D>(1.0))) /
                 fma(newton, fma(h3 * newton, splat<D>(1.0 / 6.0), h2), splat<D>(1.0));
}

template <class D>
QUORIX_INLINE D bachelier_iv(D price, Mask<D> put, D f, D k, D t, D r) {
  const D x = f - k;
  const D a = fabs(x);
  const D undiscounted = price * exp_of_product(r, t);
  // A price at the intrinsic value may round below it: within 4 ulps it is the price of sigma = 0.
  const D below = undiscounted - clamp_positive(select<D>(put, -x, x));
  const D time_value =
      select<D>((below < 0) & (below >= -4.0 * kDblEpsilon * undiscounted), splat<D>(0.0), below);
  const D sqrt_t = sqrt(t);
  const D psi = time_value / a;
  const D u = bachelier_householder_step(bachelier_first_guess(psi), psi);
  // sigma = v / sqrt(t) with v = a / u; at the money g(0) = 1 / sqrt(2 pi): v = T sqrt(2 pi).
  const Mask<D> at_the_money = a == 0;
  const D sigma = select<D>(at_the_money, time_value * kSqrtTwoPi, a / u) / sqrt_t;
  // No volatility reaches a price below the intrinsic value, a negative or infinite one, or any
  // price once expired.
  const Mask<D> attainable =
      (time_value >= 0) & (price >= 0) & (price < kInfinity) & (t > 0) & is_finite(undiscounted);
  return select<D>(attainable, select<D>(time_value == 0, splat<D>(0.0), sigma),
                   splat<D>(__builtin_nan("")));
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
