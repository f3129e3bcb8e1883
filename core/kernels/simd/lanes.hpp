// Lanes: W doubles carried through the same IEEE operations in the same order as one double.
// Every kernel is a template over its lane type; compiled for 1 lane or the target's vector width
// it performs the same correctly rounded operations, so each lane gets the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "kernels/simd/targets.hpp"

// Each instruction-set target compiles the kernels into its own namespace, so that the copies
// built for different targets never merge at link time.
#ifndef QUORIX_TARGET
#define QUORIX_TARGET portable
#endif
#define QUORIX_STRING_(A) #A
#define QUORIX_STRING(A) QUORIX_STRING_(A)

// Lane kernels are inlined into their block loop whole, so that independent evaluations of one
// element interleave instead of waiting on each other's latency.
#if defined(QUORIX_NO_FORCED_INLINE)
#define QUORIX_INLINE inline
#else
#define QUORIX_INLINE inline __attribute__((always_inline))
#endif

// A stage of a kernel that runs once per block and holds whole evaluations of the Black function
// stays out of line: one copy serves every kernel of a target, which keeps compile times short.
#define QUORIX_STAGE __attribute__((noinline))

// Always inlined, also where QUORIX_NO_FORCED_INLINE leaves the kernels to the inliner: the
// one-lane operators below.
#define QUORIX_ALWAYS __attribute__((always_inline))

namespace quorix {
inline namespace QUORIX_TARGET {

// One lane is a plain double (and a plain integer) with the vector types' operators: the scalar
// optimiser then folds a comparison into the branch that uses it, where a one-element vector
// would carry each mask through a general register. The operators are always inlined, and the
// types are aggregates, so that each operation is one call to inline: left to the inliner's
// heuristics, the many calls of an inlined kernel make its compile time grow seven-fold.
struct One {
  double value;
  QUORIX_ALWAYS constexpr double& operator[](std::size_t) { return value; }
  QUORIX_ALWAYS constexpr double operator[](std::size_t) const { return value; }
};

struct OneInt {
  std::int64_t value;
  QUORIX_ALWAYS constexpr std::int64_t& operator[](std::size_t) { return value; }
  QUORIX_ALWAYS constexpr std::int64_t operator[](std::size_t) const { return value; }
  QUORIX_ALWAYS constexpr explicit operator bool() const { return value != 0; }
};

// Each operator of lane L over two lanes, a lane and a number T, and a number and a lane: the
// operands taken as U, the result as R made of V(the result). Integers are added, subtracted,
// multiplied and shifted left as unsigned, so that they wrap as the vector types' do. Comparisons
// give all bits (-1) where they hold.
#define QUORIX_ONE_BINARY(L, T, U, R, OP, V)                                                \
  QUORIX_ALWAYS constexpr R operator OP(L a, L b) { return {V(U(a.value) OP U(b.value))}; } \
  QUORIX_ALWAYS constexpr R operator OP(L a, T b) { return {V(U(a.value) OP U(b))}; }       \
  QUORIX_ALWAYS constexpr R operator OP(T a, L b) { return {V(U(a) OP U(b.value))}; }
#define QUORIX_ONE_ARITHMETIC(L, T, U, OP) \
  QUORIX_ONE_BINARY(L, T, U, L, OP, T)     \
  QUORIX_ALWAYS constexpr L& operator OP##=(L& a, L b) { return a = a OP b; }
#define QUORIX_ONE_TRUTH(x) -std::int64_t(x)
#define QUORIX_ONE_COMPARISONS(L, T)                       \
  QUORIX_ONE_BINARY(L, T, T, OneInt, <, QUORIX_ONE_TRUTH)  \
  QUORIX_ONE_BINARY(L, T, T, OneInt, <=, QUORIX_ONE_TRUTH) \
  QUORIX_ONE_BINARY(L, T, T, OneInt, >, QUORIX_ONE_TRUTH)  \
  QUORIX_ONE_BINARY(L, T, T, OneInt, >=, QUORIX_ONE_TRUTH) \
  QUORIX_ONE_BINARY(L, T, T, OneInt, ==, QUORIX_ONE_TRUTH) \
  QUORIX_ONE_BINARY(L, T, T, OneInt, !=, QUORIX_ONE_TRUTH)
QUORIX_ONE_ARITHMETIC(One, double, double, +)
QUORIX_ONE_ARITHMETIC(One, double, double, -)
QUORIX_ONE_ARITHMETIC(One, double, double, *)
QUORIX_ONE_ARITHMETIC(One, double, double, /)
QUORIX_ONE_COMPARISONS(One, double)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, +)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, -)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, *)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, &)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, |)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, ^)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::uint64_t, <<)
QUORIX_ONE_ARITHMETIC(OneInt, std::int64_t, std::int64_t, >>)  // arithmetic, as vectors'
QUORIX_ONE_COMPARISONS(OneInt, std::int64_t)
#undef QUORIX_ONE_COMPARISONS
#undef QUORIX_ONE_TRUTH
#undef QUORIX_ONE_ARITHMETIC
#undef QUORIX_ONE_BINARY
QUORIX_ALWAYS constexpr One operator-(One a) { return {-a.value}; }
QUORIX_ALWAYS constexpr OneInt operator-(OneInt a) {
  return {static_cast<std::int64_t>(-static_cast<std::uint64_t>(a.value))};
}
QUORIX_ALWAYS constexpr OneInt operator~(OneInt a) { return {~a.value}; }

template <int W>
struct LaneTypes;

template <>
struct LaneTypes<1> {
  typedef One Double;
  typedef OneInt Int;
};

#define QUORIX_LANE_TYPES(W)                                      \
  template <>                                                     \
  struct LaneTypes<W> {                                           \
    typedef double Double __attribute__((vector_size(8 * W)));    \
    typedef std::int64_t Int __attribute__((vector_size(8 * W))); \
  };
QUORIX_LANE_TYPES(2)
QUORIX_LANE_TYPES(4)
QUORIX_LANE_TYPES(8)
#undef QUORIX_LANE_TYPES

template <int W>
using Lanes = typename LaneTypes<W>::Double;

template <class D>
inline constexpr int kWidth = static_cast<int>(sizeof(D) / sizeof(double));

// Two blocks side by side, for the stages whose work is one long chain of dependent operations:
// each operation is issued for both halves in turn, so that the two chains overlap where a single
// block's would leave the processor waiting on latency. Each lane takes the same operations.
template <class V>
struct Pair {
  using Half = V;
  using Element = std::remove_cvref_t<decltype(V{}[0])>;
  V low, high;
  QUORIX_ALWAYS inline Element& operator[](std::size_t i) {
    return reinterpret_cast<Element*>(this)[i];
  }
  QUORIX_ALWAYS inline Element operator[](std::size_t i) const {
    return reinterpret_cast<const Element*>(this)[i];
  }
};

template <class D>
inline constexpr bool kIsPair = false;
template <class V>
inline constexpr bool kIsPair<Pair<V>> = true;

#define QUORIX_PAIR_BINARY(OP)                                                    \
  template <class V>                                                              \
  QUORIX_ALWAYS inline auto operator OP(Pair<V> a, Pair<V> b) {                   \
    return Pair<decltype(a.low OP b.low)>{a.low OP b.low, a.high OP b.high};      \
  }                                                                               \
  template <class V>                                                              \
  QUORIX_ALWAYS inline auto operator OP(Pair<V> a, typename Pair<V>::Element b) { \
    return Pair<decltype(a.low OP b)>{a.low OP b, a.high OP b};                   \
  }                                                                               \
  template <class V>                                                              \
  QUORIX_ALWAYS inline auto operator OP(typename Pair<V>::Element a, Pair<V> b) { \
    return Pair<decltype(a OP b.low)>{a OP b.low, a OP b.high};                   \
  }
QUORIX_PAIR_BINARY(+)
QUORIX_PAIR_BINARY(-)
QUORIX_PAIR_BINARY(*)
QUORIX_PAIR_BINARY(/)
QUORIX_PAIR_BINARY(&)
QUORIX_PAIR_BINARY(|)
QUORIX_PAIR_BINARY(^)
QUORIX_PAIR_BINARY(<<)
QUORIX_PAIR_BINARY(>>)
QUORIX_PAIR_BINARY(<)
QUORIX_PAIR_BINARY(<=)
QUORIX_PAIR_BINARY(>)
QUORIX_PAIR_BINARY(>=)
QUORIX_PAIR_BINARY(==)
QUORIX_PAIR_BINARY(!=)
#undef QUORIX_PAIR_BINARY
template <class V>
QUORIX_ALWAYS inline Pair<V> operator-(Pair<V> a) {
  return {-a.low, -a.high};
}
template <class V>
QUORIX_ALWAYS inline Pair<V> operator~(Pair<V> a) {
  return {~a.low, ~a.high};
}

// All bits set in a lane where a comparison holds, none where it fails.
template <class D>
struct MaskOf {
  using Type = typename LaneTypes<kWidth<D>>::Int;
};
template <class V>
struct MaskOf<Pair<V>> {
  using Type = Pair<typename MaskOf<V>::Type>;
};

template <class D>
using Mask = typename MaskOf<D>::Type;

template <class D>
using Int = Mask<D>;

// The target this copy of the kernels is compiled for, as targets.def declares it: the lanes of
// a block, and whether the implied-vol stages pair blocks.
inline constexpr TargetRecord kTarget = target_record(QUORIX_STRING(QUORIX_TARGET));
inline constexpr int kTargetWidth = kTarget.width;
inline constexpr bool kTargetPairs = kTarget.pairs;

template <class D>
QUORIX_INLINE D splat(double value) {
  if constexpr (kIsPair<D>) {
    return {splat<typename D::Half>(value), splat<typename D::Half>(value)};
  }
  D lanes;
  for (int i = 0; i < kWidth<D>; ++i) lanes[i] = value;
  return lanes;
}

template <class D>
QUORIX_INLINE D select(Mask<D> mask, D if_true, D if_false) {
  if constexpr (kIsPair<D>) {
    using H = typename D::Half;
    return {select<H>(mask.low, if_true.low, if_false.low),
            select<H>(mask.high, if_true.high, if_false.high)};
  } else {
    return mask ? if_true : if_false;
  }
}

template <class D>
QUORIX_INLINE bool any(Mask<D> mask) {
  if constexpr (kIsPair<D>) return any<typename D::Half>(mask.low | mask.high);
#if defined(__AVX__)
  if constexpr (kWidth<D> == 4) return _mm256_movemask_pd(reinterpret_cast<__m256d>(mask)) != 0;
#endif
#if defined(__AVX512F__)
  if constexpr (kWidth<D> == 8) {
    return _mm512_test_epi64_mask(reinterpret_cast<__m512i>(mask),
                                  reinterpret_cast<__m512i>(mask)) != 0;
  }
#endif
  if constexpr (kWidth<D> == 1) {
    return static_cast<bool>(mask);
  } else {
    std::int64_t folded = 0;
    for (int i = 0; i < kWidth<D>; ++i) folded |= mask[i];
    return folded != 0;
  }
}

template <class D>
QUORIX_INLINE bool all(Mask<D> mask) {
  return !any<D>(~mask);
}

// a * b + c with a single rounding, on every target.
template <class D>
QUORIX_INLINE D fma(D a, D b, D c) {
  if constexpr (kIsPair<D>) {
    using H = typename D::Half;
    return {fma<H>(a.low, b.low, c.low), fma<H>(a.high, b.high, c.high)};
  }
#if defined(__FMA__)
  if constexpr (kWidth<D> == 4) {
    return reinterpret_cast<D>(_mm256_fmadd_pd(
        reinterpret_cast<__m256d>(a), reinterpret_cast<__m256d>(b), reinterpret_cast<__m256d>(c)));
  }
#endif
#if defined(__AVX512F__)
  if constexpr (kWidth<D> == 8) {
    return reinterpret_cast<D>(_mm512_fmadd_pd(
        reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b), reinterpret_cast<__m512d>(c)));
  }
#endif
  D result;
  for (int i = 0; i < kWidth<D>; ++i) result[i] = __builtin_fma(a[i], b[i], c[i]);
  return result;
}

template <class D>
QUORIX_INLINE D sqrt(D a) {
  if constexpr (kIsPair<D>) return {sqrt<typename D::Half>(a.low), sqrt<typename D::Half>(a.high)};
#if defined(__AVX__)
  if constexpr (kWidth<D> == 4) {
    return reinterpret_cast<D>(_mm256_sqrt_pd(reinterpret_cast<__m256d>(a)));
  }
#endif
#if defined(__AVX512F__)
  if constexpr (kWidth<D> == 8) {
    // The masked form with every lane set: the unmasked one trips a false uninitialised warning.
    const __m512d lanes = reinterpret_cast<__m512d>(a);
    return reinterpret_cast<D>(_mm512_mask_sqrt_pd(lanes, 0xff, lanes));
  }
#endif
  D result;
  for (int i = 0; i < kWidth<D>; ++i) result[i] = __builtin_sqrt(a[i]);
  return result;
}

// Operations on the exponent of a double that the target has instructions for (AVX-512) where
// kHasExponentOps holds; elsewhere the callers take the bits apart, with the same results.
#if defined(__AVX512F__)
template <class D>
inline constexpr bool kHasExponentOps = kWidth<D> == 8 || (kIsPair<D> && kWidth<D> == 16);

// y 2^n for an integer-valued n, rounded once (scalef).
template <class D>
QUORIX_INLINE D scale(D y, D n) {
  if constexpr (kIsPair<D>) {
    return {scale<typename D::Half>(y.low, n.low), scale<typename D::Half>(y.high, n.high)};
  } else {
    const __m512d lanes = reinterpret_cast<__m512d>(y);  // the masked form: see sqrt
    const __m512d powers = reinterpret_cast<__m512d>(n);
    return reinterpret_cast<D>(_mm512_mask_scalef_pd(lanes, 0xff, lanes, powers));
  }
}

// x = m 2^e with m in [1, 2), for a positive finite x (subnormals included): getmant and getexp.
template <class D>
QUORIX_INLINE D mantissa(D x) {
  if constexpr (kIsPair<D>) {
    return {mantissa<typename D::Half>(x.low), mantissa<typename D::Half>(x.high)};
  } else {
    const __m512d lanes = reinterpret_cast<__m512d>(x);
    return reinterpret_cast<D>(
        _mm512_mask_getmant_pd(lanes, 0xff, lanes, _MM_MANT_NORM_1_2, _MM_MANT_SIGN_src));
  }
}

template <class D>
QUORIX_INLINE D exponent(D x) {
  if constexpr (kIsPair<D>) {
    return {exponent<typename D::Half>(x.low), exponent<typename D::Half>(x.high)};
  } else {
    const __m512d lanes = reinterpret_cast<__m512d>(x);
    return reinterpret_cast<D>(_mm512_mask_getexp_pd(lanes, 0xff, lanes));
  }
}
#else
template <class D>
inline constexpr bool kHasExponentOps = false;

// Not defined: only called where kHasExponentOps holds.
template <class D>
D scale(D y, D n);
template <class D>
D mantissa(D x);
template <class D>
D exponent(D x);
#endif

template <class D>
QUORIX_INLINE Int<D> bits(D a) {
  return __builtin_bit_cast(Int<D>, a);
}

template <class D>
QUORIX_INLINE D from_bits(Int<D> a) {
  return __builtin_bit_cast(D, a);
}

template <class D>
QUORIX_INLINE D fabs(D a) {
  if constexpr (kWidth<D> == 1) {
    return {__builtin_fabs(a.value)};  // the sign cleared in its register
  } else {
    return from_bits<D>(bits(a) & INT64_C(0x7fffffffffffffff));
  }
}

// |x| < infinity: false for NaN and both infinities.
template <class D>
QUORIX_INLINE Mask<D> is_finite(D a) {
  return fabs(a) < __builtin_huge_val();
}

template <class D>
QUORIX_INLINE Mask<D> is_nan(D a) {
  return a != a;
}

// std::fmax: the larger operand, and the other one where one is NaN.
template <class D>
QUORIX_INLINE D fmax(D a, D b) {
  return select<D>((a > b) | is_nan(b), a, b);
}

// The canonical quiet NaN in every NaN lane: the sign and payload of a NaN depend on operand
// order, which differs between the compiled forms of one kernel.
template <class D>
QUORIX_INLINE D canonical(D a) {
  return select<D>(is_nan(a), splat<D>(__builtin_nan("")), a);
}

}  // namespace QUORIX_TARGET
}  // namespace quorix
