// exp, log and erfc over lanes, in IEEE operations only, so that every target and lane width gives
// the same bits. exp and log are within 0.9 ulp; erfc uses fdlibm's rational approximations and
// keeps their accuracy (within 2.3 ulps at worst, as the C library's).
#pragma once

#include <bit>
#include <cstdint>

#include "kernels/simd/lanes.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

inline constexpr double kLn2 = 0.6931471805599453;
inline constexpr double kLn2Hi = 6.93147180369123816490e-01;  // 32 bits: k * kLn2Hi is exact
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;
inline constexpr double kInvLn2 = 1.44269504088896338700e+00;
inline constexpr double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
inline constexpr double kExpOverflow = 710.0;                 // e^710 overflows to +inf
inline constexpr double kExpUnderflow = -746.0;               // e^-746 rounds to +0
inline constexpr double kSmallestNormal = 2.2250738585072014e-308;
inline constexpr double kDblEpsilon = 2.220446049250313e-16;  // 2^-52, one ulp of 1

namespace detail {
// c[First] + ... + c[First + Count - 1] x^(Count - 1), split at the largest power of two h below
// Count: the low h terms plus x^h times the rest; powers[i] is x^(2^i).
template <std::size_t First, std::size_t Count, std::size_t N, class D>
QUORIX_INLINE D estrin_part(const double (&c)[N], const D* powers) {
  if constexpr (Count == 1) {
    return splat<D>(c[First]);
  } else {
    constexpr std::size_t half = std::bit_floor(Count - 1);
    return fma(powers[std::countr_zero(half)], estrin_part<First + half, Count - half>(c, powers),
               estrin_part<First, half>(c, powers));
  }
}
}  // namespace detail

// c[0] + c[1] x + ... + c[N - 1] x^(N - 1) by Estrin's scheme: a dependency chain of depth
// log2 N where Horner's is N long.
template <std::size_t N, class D>
QUORIX_INLINE D estrin(const double (&c)[N], D x) {
  D powers[std::bit_width(N - 1)];
  powers[0] = x;
  for (std::size_t i = 1; i < std::size(powers); ++i) powers[i] = powers[i - 1] * powers[i - 1];
  return detail::estrin_part<0, N>(c, powers);
}

namespace detail {

// 1/n! for n = 13 down to 2: the Taylor remainder on |r| <= ln2/2 is below 2^-60.
inline constexpr double kExpTaylor[] = {
    1.6059043836821613e-10, 2.08767569878681e-09, 2.505210838544172e-08, 2.755731922398589e-07,
    2.7557319223985893e-06, 2.48015873015873e-05, 0.0001984126984126984, 0.001388888888888889,
    0.008333333333333333,   0.041666666666666664, 0.16666666666666666,   0.5};

// 2^k for integer k in [-1022, 1023].
template <class D>
QUORIX_INLINE D power_of_two(Int<D> k) {
  return from_bits<D>((k + 1023) << 52);
}

// An integer-valued double |k| < 2^51 as an integer, and back.
template <class D>
QUORIX_INLINE Int<D> to_integer(D k) {
  return bits(k + kRoundingShift) - bits(splat<D>(kRoundingShift));
}
template <class D>
QUORIX_INLINE D to_double(Int<D> k) {
  return from_bits<D>(k + bits(splat<D>(kRoundingShift))) - kRoundingShift;
}

// The nearest integer k to x / ln2, as a double.
template <class D>
QUORIX_INLINE D exp_exponent(D x) {
  return fma(x, splat<D>(kInvLn2), splat<D>(kRoundingShift)) - kRoundingShift;
}

// e^(x + tail) from x + tail = k ln2 + hi - lo, hi exact and lo the small part k ln2lo less the
// tail: a degree-13 Taylor polynomial, and the scale 2^k applied in two halves so that subnormal
// results are rounded once (or by one scale instruction).
template <class D>
QUORIX_INLINE D exp_reduced(D x, D k, D lo) {
  const D hi = fma(-k, splat<D>(kLn2Hi), x);  // exact
  const D r = hi - lo;
  // Estrin's scheme: a shallow dependency chain.
  const D r2 = r * r;
  const D r4 = r2 * r2;
  const D r8 = r4 * r4;
  const double* c = detail::kExpTaylor;
  const D p01 = fma(r, splat<D>(c[0]), splat<D>(c[1]));
  const D p23 = fma(r, splat<D>(c[2]), splat<D>(c[3]));
  const D p45 = fma(r, splat<D>(c[4]), splat<D>(c[5]));
  const D p67 = fma(r, splat<D>(c[6]), splat<D>(c[7]));
  const D p89 = fma(r, splat<D>(c[8]), splat<D>(c[9]));
  const D p1011 = fma(r, splat<D>(c[10]), splat<D>(c[11]));
  const D p0123 = fma(r2, p01, p23);
  const D p4567 = fma(r2, p45, p67);
  const D p891011 = fma(r2, p89, p1011);
  const D p = fma(r8, p0123, fma(r4, p4567, p891011));
  // e^r - 1 = r + r^2 p(r), with r's rounding error kept through hi and lo.
  const D expm1 = hi + fma(r2, p, -lo);
  const D y = expm1 + 1.0;
  D value;
  if constexpr (kHasExponentOps<D>) {
    value = scale(y, k);
  } else {
    // k lies in [-1076, 1024] for the arguments in range; the others are replaced below.
    const D bounded = select<D>(k > 1024.0, splat<D>(1024.0),
                                select<D>(k < -1076.0, splat<D>(-1076.0), k));
    const Int<D> n = detail::to_integer(bounded);
    const Int<D> half = n >> 1;
    value = (y * detail::power_of_two<D>(half)) * detail::power_of_two<D>(n - half);
  }
  // Arguments beyond the range are settled here, off the chain of dependent operations.
  return select<D>(x > kExpOverflow, splat<D>(__builtin_huge_val()),
                   select<D>(x < kExpUnderflow, splat<D>(0.0), value));
}

}  // namespace detail

// e^x, within 0.9 ulp. Its own entry rather than exp(x, 0): k ln2lo is a multiply, where the
// tail's fma would be a library call on the baseline target.
template <class D>
QUORIX_INLINE D exp(D x) {
  const D k = detail::exp_exponent(x);
  return detail::exp_reduced(x, k, k * kLn2Lo);
}

// e^(x + tail) for a tail below x's last bits, such as the rounding error of the product or sum
// that gave x: the tail enters the reduced argument, so that x's own rounding does not cost |x| / 2
// ulps. A tail that is not finite comes only with an x beyond the range, settled as in exp(x).
template <class D>
QUORIX_INLINE D exp(D x, D tail) {
  const D k = detail::exp_exponent(x);
  return detail::exp_reduced(x, k, fma(k, splat<D>(kLn2Lo), -tail));
}

// e^(a b), the product's rounding error carried as the tail.
template <class D>
QUORIX_INLINE D exp_of_product(D a, D b) {
  const D product = a * b;
  return exp(product, fma(a, b, -product));
}

// e^((a - b) c), the rounding errors of the difference (exact, by Knuth's two-sum) and of the
// product carried as the tail: a growth factor e^((r - q) t) keeps full accuracy for long t.
template <class D>
QUORIX_INLINE D exp_of_difference_product(D a, D b, D c) {
  const D difference = a - b;
  const D moved = difference - a;
  const D difference_error = (a - (difference - moved)) - (b + moved);
  const D product = difference * c;
  return exp(product, fma(difference_error, c, fma(difference, c, -product)));
}

namespace detail {
inline constexpr double kLg1 = 6.666666666666735130e-01;
inline constexpr double kLg2 = 3.999999999940941908e-01;
inline constexpr double kLg3 = 2.857142874366239149e-01;
inline constexpr double kLg4 = 2.222219843214978396e-01;
inline constexpr double kLg5 = 1.818357216161805012e-01;
inline constexpr double kLg6 = 1.531383769920937332e-01;
inline constexpr double kLg7 = 1.479819860511658591e-01;
inline constexpr double kTwo54 = 1.80143985094819840000e+16;

// x = 2^k (1 + f) with 1 + f in [sqrt2/2, sqrt2) for a positive finite x, and whether f lies in
// the middle range where log keeps the square term apart. hx is the top 20 bits of x's mantissa.
template <class D>
struct LogSplit {
  D f;
  D k;
  Mask<D> use_square;
};

template <class D>
QUORIX_INLINE LogSplit<D> log_split(D x) {
  if constexpr (kHasExponentOps<D>) {
    const D m = mantissa(x);  // 1 + hx 2^-20 + the lower bits
    const Mask<D> upper = m >= 0x1.6a09cp+0;  // hx >= 0x6a09c: 1 + f = m / 2
    const D e = exponent(x);
    return {select<D>(upper, m * 0.5, m) - 1.0, select<D>(upper, e + 1.0, e),
            (m >= 0x1.6147ap+0) & (m < 0x1.6b852p+0)};  // 0x6147a <= hx <= 0x6b851
  } else {
    const Mask<D> subnormal = x < kSmallestNormal;
    const D scaled = select<D>(subnormal, x * kTwo54, x);
    const Int<D> ix = bits(scaled);
    Int<D> hx = (ix >> 32) & 0x7fffffff;
    Int<D> k = (hx >> 20) - 1023 - (subnormal & 54);
    hx = hx & 0x000fffff;
    const Int<D> i = (hx + 0x95f64) & 0x100000;
    const D normalised = from_bits<D>(((hx | (i ^ 0x3ff00000)) << 32) | (ix & 0xffffffff));
    return {normalised - 1.0, to_double<D>(k + (i >> 20)),
            ((hx - 0x6147a) | (0x6b851 - hx)) > 0};
  }
}

}  // namespace detail

// log x by fdlibm's method: x = 2^k (1 + f) with 1 + f in [sqrt2/2, sqrt2), s = f / (2 + f) and a
// minimax polynomial in s^2.
template <class D>
QUORIX_INLINE D log(D x) {
  using namespace detail;
  const LogSplit<D> split = log_split(x);
  const D f = split.f;
  const D dk = split.k;
  const D s = f / (f + 2.0);
  const D z = s * s;
  const D w = z * z;
  const D t1 = w * (w * (w * kLg6 + kLg4) + kLg2);
  const D t2 = z * (w * (w * (w * kLg7 + kLg5) + kLg3) + kLg1);
  const D big_r = t2 + t1;
  const D hfsq = (f * 0.5) * f;
  const D with_square = dk * kLn2Hi - ((hfsq - (s * (hfsq + big_r) + dk * kLn2Lo)) - f);
  const D without_square = dk * kLn2Hi - ((s * (f - big_r) - dk * kLn2Lo) - f);
  const D value = select<D>(split.use_square, with_square, without_square);
  const D nan = splat<D>(__builtin_nan(""));
  const D inf = splat<D>(__builtin_huge_val());
  return select<D>((x > 0) & (x < inf), value,
                   select<D>(x == 0, -inf, select<D>(x == inf, inf, nan)));
}

namespace detail {

inline constexpr double kErx = 8.45062911510467529297e-01;
// fdlibm's coefficients (s_erf.c), named and ordered as there: erf on [0, 0.84375) is
// x + x pp(x^2)/qq(x^2); erf on [0.84375, 1.25) is erx + pa(s)/qa(s), s = |x| - 1; erfc on
// [1.25, 1/0.35) and [1/0.35, 28) is exp(-x^2 - 0.5625 + ra/sa) / x and exp(... + rb/sb) / x in
// 1/x^2. Each polynomial's constant term is p0 (q0 = 1).
inline constexpr double kPp0 = 1.28379167095512558561e-01;
inline constexpr double kPp1 = -3.25042107247001499370e-01;
inline constexpr double kPp2 = -2.84817495755985104766e-02;
inline constexpr double kPp3 = -5.77027029648944159157e-03;
inline constexpr double kPp4 = -2.37630166566501626084e-05;
inline constexpr double kQq1 = 3.97917223959155352819e-01;
inline constexpr double kQq2 = 6.50222499887672944485e-02;
inline constexpr double kQq3 = 5.08130628187576562776e-03;
inline constexpr double kQq4 = 1.32494738004321644526e-04;
inline constexpr double kQq5 = -3.96022827877536812320e-06;
inline constexpr double kPa0 = -2.36211856075265944077e-03;
inline constexpr double kPa1 = 4.14856118683748331666e-01;
inline constexpr double kPa2 = -3.72207876035701323847e-01;
inline constexpr double kPa3 = 3.18346619901161753674e-01;
inline constexpr double kPa4 = -1.10894694282396677476e-01;
inline constexpr double kPa5 = 3.54783043256182359371e-02;
inline constexpr double kPa6 = -2.16637559486879084300e-03;
inline constexpr double kQa1 = 1.06420880400844228286e-01;
inline constexpr double kQa2 = 5.40397917702171048937e-01;
inline constexpr double kQa3 = 7.18286544141962662868e-02;
inline constexpr double kQa4 = 1.26171219808761642112e-01;
inline constexpr double kQa5 = 1.36370839120290507362e-02;
inline constexpr double kQa6 = 1.19844998467991074170e-02;
inline constexpr double kRa0 = -9.86494403484714822705e-03;
inline constexpr double kRa1 = -6.93858572707181764372e-01;
inline constexpr double kRa2 = -1.05586262253232909814e+01;
inline constexpr double kRa3 = -6.23753324503260060396e+01;
inline constexpr double kRa4 = -1.62396669462573470355e+02;
inline constexpr double kRa5 = -1.84605092906711035994e+02;
inline constexpr double kRa6 = -8.12874355063065934246e+01;
inline constexpr double kRa7 = -9.81432934416914548592e+00;
inline constexpr double kSa1 = 1.96512716674392571292e+01;
inline constexpr double kSa2 = 1.37657754143519042600e+02;
inline constexpr double kSa3 = 4.34565877475229228821e+02;
inline constexpr double kSa4 = 6.45387271733267880336e+02;
inline constexpr double kSa5 = 4.29008140027567833386e+02;
inline constexpr double kSa6 = 1.08635005541779435134e+02;
inline constexpr double kSa7 = 6.57024977031928170135e+00;
inline constexpr double kSa8 = -6.04244152148580987438e-02;
inline constexpr double kRb0 = -9.86494292470009928597e-03;
inline constexpr double kRb1 = -7.99283237680523006574e-01;
inline constexpr double kRb2 = -1.77579549177547519889e+01;
inline constexpr double kRb3 = -1.60636384855821916062e+02;
inline constexpr double kRb4 = -6.37566443368389627722e+02;
inline constexpr double kRb5 = -1.02509513161107724954e+03;
inline constexpr double kRb6 = -4.83519191608651397019e+02;
inline constexpr double kSb1 = 3.03380607434824582924e+01;
inline constexpr double kSb2 = 3.25792512996573918826e+02;
inline constexpr double kSb3 = 1.53672958608443695994e+03;
inline constexpr double kSb4 = 3.19985821950859553908e+03;
inline constexpr double kSb5 = 2.55305040643316442583e+03;
inline constexpr double kSb6 = 4.74528541206955367215e+02;
inline constexpr double kSb7 = -2.24409524465858183362e+01;

inline constexpr double kErfSmall = 0.84375;
inline constexpr double kErfMiddle = 1.25;
inline constexpr double kErfcRationalSwitch = 2.857142448425293;  // about 1/0.35
inline constexpr double kErfcZero = 28.0;

// pp/qq(x^2) = (erf(x) - x) / x on |x| < 0.84375, within 2^-57.90.
template <class D>
QUORIX_INLINE D erf_small_ratio(D x) {
  const D z = x * x;
  const D z2 = z * z;
  const D z4 = z2 * z2;
  const D r =
      (fma(z, splat<D>(kPp1), splat<D>(kPp0)) +
       z2 * fma(z, splat<D>(kPp3), splat<D>(kPp2))) +
      z4 * kPp4;
  const D s =
      (fma(z, splat<D>(kQq1), splat<D>(1.0)) +
       z2 * fma(z, splat<D>(kQq3), splat<D>(kQq2))) +
      z4 * fma(z, splat<D>(kQq5), splat<D>(kQq4));
  return r / s;
}

// pa/qa(|x| - 1) = erf(|x|) - erx on 0.84375 <= |x| < 1.25, within 2^-59.06.
template <class D>
QUORIX_INLINE D erf_middle_ratio(D ax) {
  const D s = ax - 1.0;
  const D s2 = s * s;
  const D s4 = s2 * s2;
  const D s6 = s4 * s2;
  const D p =
      ((fma(s, splat<D>(kPa1), splat<D>(kPa0)) +
        s2 * fma(s, splat<D>(kPa3), splat<D>(kPa2))) +
       s4 * fma(s, splat<D>(kPa5), splat<D>(kPa4))) +
      s6 * kPa6;
  const D q =
      ((fma(s, splat<D>(kQa1), splat<D>(1.0)) +
        s2 * fma(s, splat<D>(kQa3), splat<D>(kQa2))) +
       s4 * fma(s, splat<D>(kQa5), splat<D>(kQa4))) +
      s6 * kQa6;
  return p / q;
}

// The exponent correction R/S of erfc(x) = exp(-x^2 - 0.5625 + R/S) / x on 1.25 <= x < 28,
// from two rational functions of 1/x^2 split at 1/0.35. R and S are both multiplied by a power of
// w = x^2 and evaluated as polynomials in w, so that 1/x^2 takes no division; w stops at 2^100,
// where R/S has reached its limit R(0).
template <class D>
QUORIX_INLINE D erfc_tail_correction(D ax) {
  const D square = ax * ax;
  const D w = select<D>(square < 0x1p100, square, splat<D>(0x1p100));
  const D w2 = w * w;
  const D w4 = w2 * w2;
  D r = splat<D>(0.0), q = splat<D>(1.0);
  const Mask<D> near = ax < kErfcRationalSwitch;
  if (any<D>(near)) {
    const D ra =  // R w^8
        w * ((fma(w, splat<D>(kRa6), splat<D>(kRa7)) +
              w2 * fma(w, splat<D>(kRa4),
                       splat<D>(kRa5))) +
             w4 * (fma(w, splat<D>(kRa2),
                       splat<D>(kRa3)) +
                   w2 * fma(w, splat<D>(kRa0),
                            splat<D>(kRa1))));
    const D sa =  // S w^8
        ((fma(w, splat<D>(kSa7), splat<D>(kSa8)) +
          w2 * fma(w, splat<D>(kSa5), splat<D>(kSa6))) +
         w4 * (fma(w, splat<D>(kSa3), splat<D>(kSa4)) +
               w2 * fma(w, splat<D>(kSa1),
                        splat<D>(kSa2)))) +
        w4 * w4;
    r = select<D>(near, ra, r);
    q = select<D>(near, sa, q);
  }
  if (!all<D>(near)) {
    const D rb =  // R w^7
        w * ((fma(w, splat<D>(kRb5), splat<D>(kRb6)) +
              w2 * fma(w, splat<D>(kRb3),
                       splat<D>(kRb4))) +
             w4 * (fma(w, splat<D>(kRb1),
                       splat<D>(kRb2)) +
                   w2 * kRb0));
    const D sb =  // S w^7
        (fma(w, splat<D>(kSb6), splat<D>(kSb7)) +
         w2 * fma(w, splat<D>(kSb4), splat<D>(kSb5))) +
        w4 * ((fma(w, splat<D>(kSb2), splat<D>(kSb3)) +
               w2 * (w + kSb1)));
    r = select<D>(near, r, rb);
    q = select<D>(near, q, sb);
  }
  return r / q;
}

// e^(a + b) for |a| >= |b|, the rounding error of the sum (exact) carried as the tail: one exp
// instead of two, and the argument's rounding does not cost |a| / 2 ulps.
template <class D>
QUORIX_INLINE D exp_of_sum(D a, D b) {
  const D sum = a + b;
  return exp(sum, (a - sum) + b);
}

// erfc(|x|) on 1.25 <= |x| < 28: exp(-z^2 - 0.5625 + (z - x)(z + x) + R/S) / x, with z |x| cut
// to 21 significant bits so that -z^2 - 0.5625 is exact.
template <class D>
QUORIX_INLINE D erfc_tail(D ax) {
  const D z = from_bits<D>(bits(ax) & INT64_C(-4294967296));
  const D r = exp_of_sum((-z) * z - 0.5625, (z - ax) * (z + ax) + erfc_tail_correction(ax));
  return r / ax;
}

// fdlibm's three ranges of |x| below 28, shared by erfc and the normal cdf: each range's lanes,
// and its rational (or erfc itself, in the tail) evaluated where some lane needs it.
template <class D>
struct ErfRanges {
  Mask<D> small;   // [0, 0.84375): pp/qq(x^2), erf(x) = x + x pp/qq
  Mask<D> middle;  // [0.84375, 1.25): pa/qa(|x| - 1), erf(|x|) = erx + pa/qa
  Mask<D> tail;    // [1.25, 28): erfc(|x|)
  D small_ratio;
  D middle_ratio;
  D tail_erfc;
};

template <class D>
QUORIX_INLINE ErfRanges<D> erf_ranges(D ax) {
  const D zero = splat<D>(0.0);
  ErfRanges<D> ranges{ax < kErfSmall, Mask<D>{}, Mask<D>{}, zero, zero, zero};
  ranges.middle = ~ranges.small & (ax < kErfMiddle);
  ranges.tail = (ax >= kErfMiddle) & (ax < kErfcZero);
  if (any<D>(ranges.small)) ranges.small_ratio = erf_small_ratio(ax);
  if (any<D>(ranges.middle)) ranges.middle_ratio = erf_middle_ratio(ax);
  if (any<D>(ranges.tail)) ranges.tail_erfc = erfc_tail(ax);
  return ranges;
}

}  // namespace detail

// erfc(x) by fdlibm's method, by range of |x|:
//   [0, 0.84375)     1 - (x + x pp/qq(x^2)), or 0.5 - (x pp/qq + (x - 0.5)) from 1/4 on (pp/qq
//                    within 2^-57.90 of (erf(x) - x) / x)
//   [0.84375, 1.25)  1 - erx - pa/qa(|x| - 1), or 1 + erx + pa/qa below 0 (pa/qa within 2^-59.06
//                    of erf(|x|) - erx)
//   [1.25, 28)       exp(-z^2 - 0.5625 + (z - |x|)(z + |x|) + R/S) / |x|, or 2 less that below 0
//                    (R/S within 2^-57.7 of its target)
//   beyond           0, or 2 below 0; NaN stays NaN
// Within 2.3 ulps: fdlibm's own error near 1.22 is 2.26 ulps.
template <class D>
QUORIX_INLINE D erfc(D x) {
  using namespace detail;
  const ErfRanges<D> ranges = erf_ranges(fabs(x));
  // |x| >= 28, infinities and NaN.
  D result = select<D>(x > 0, splat<D>(0.0), select<D>(x < 0, splat<D>(2.0), x + x));
  const D xy = x * ranges.small_ratio;
  result = select<D>(ranges.small, select<D>(x < 0.25, 1.0 - (x + xy), 0.5 - (xy + (x - 0.5))),
                     result);
  result = select<D>(ranges.middle,
                     select<D>(x >= 0, (1.0 - kErx) - ranges.middle_ratio,
                               (ranges.middle_ratio + kErx) + 1.0),
                     result);
  return select<D>(ranges.tail,
                   select<D>(x > 0, ranges.tail_erfc, 2.0 - ranges.tail_erfc), result);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
