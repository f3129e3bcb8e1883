// The kernel table of one instruction-set target. This file is compiled once per target, with
// QUORIX_TARGET naming it and the target's code-generation flags; every copy gives the same bits.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <utility>

#include "pricing/greeks.hpp"
#include "pricing/implied_volatility.hpp"
#include "simd/lanes.hpp"
#include "vector/kernels.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

namespace {

struct F {};  // a flag column
struct N {};  // a number column

// Lanes [i, i + count) of a column; a short tail repeats its first element, so that padding
// lanes take the same path as a real one.
template <class D, std::size_t W = kWidth<D>>
D load(N, const void* column, std::size_t i, std::size_t count) {
  const double* data = static_cast<const double*>(column) + i;
  D lanes;
  if (count == W) {
    std::memcpy(&lanes, data, sizeof lanes);
  } else {
    for (std::size_t j = 0; j < W; ++j) lanes[j] = data[j < count ? j : 0];
  }
  return lanes;
}

template <class D, std::size_t W = kWidth<D>>
Mask<D> load(F, const void* column, std::size_t i, std::size_t count) {
  const signed char* data = static_cast<const signed char*>(column) + i;
  Mask<D> put;
  for (std::size_t j = 0; j < W; ++j) put[j] = is_put(data[j < count ? j : 0]) ? -1 : 0;
  return put;
}

template <class D, std::size_t W = kWidth<D>>
void store(const D& value, double* const* outputs, std::size_t i, std::size_t count) {
  const D canonical_value = canonical(value);
  if (count == W) {
    std::memcpy(outputs[0] + i, &canonical_value, sizeof canonical_value);
  } else {
    for (std::size_t j = 0; j < count; ++j) outputs[0][i + j] = canonical_value[j];
  }
}

template <class D>
void store(const GreeksOf<D>& greeks, double* const* outputs, std::size_t i, std::size_t count) {
  const D values[] = {greeks.delta, greeks.gamma, greeks.vega, greeks.theta, greeks.rho};
  for (std::size_t g = 0; g < 5; ++g) store(values[g], outputs + g, i, count);
}

template <class Kernel, class D, class... Kinds, std::size_t... I>
void map_lanes(const Columns& columns, std::size_t begin, std::size_t end,
               std::index_sequence<I...>) {
  constexpr std::size_t W = kWidth<D>;
  for (std::size_t i = begin; i < end; i += W) {
    const std::size_t count = std::min(W, end - i);
    store(Kernel{}(load<D>(Kinds{}, columns.inputs[I], i, count)...), columns.outputs, i, count);
  }
}

template <class Kernel, int W, class... Kinds>
void map_block(const Columns& columns, std::size_t begin, std::size_t end) {
  map_lanes<Kernel, Lanes<W>, Kinds...>(columns, begin, end, std::index_sequence_for<Kinds...>{});
}

#define QUORIX_KERNEL_FUNCTOR(NAME, KERNEL, OUTPUTS, ...)   \
  struct NAME##_kernel {                                     \
    template <class... A>                                    \
    auto operator()(A... a) const {                          \
      return KERNEL(a...);                                   \
    }                                                        \
  };
QUORIX_KERNELS(QUORIX_KERNEL_FUNCTOR)
#undef QUORIX_KERNEL_FUNCTOR

// The solver inverts one lane at a time, so wider blocks would only add padding work to the
// scalar calls.
template <class Kernel>
constexpr int kKernelWidth = kTargetWidth;
template <>
constexpr int kKernelWidth<bsm_iv_kernel> = 1;
template <>
constexpr int kKernelWidth<black76_iv_kernel> = 1;

}  // namespace

}  // namespace QUORIX_TARGET

#define QUORIX_CONCAT_(A, B) A##B
#define QUORIX_CONCAT(A, B) QUORIX_CONCAT_(A, B)
#define QUORIX_STRING_(A) #A
#define QUORIX_STRING(A) QUORIX_STRING_(A)

extern const KernelTable QUORIX_CONCAT(kernel_table_, QUORIX_TARGET);
const KernelTable QUORIX_CONCAT(kernel_table_, QUORIX_TARGET) = {
    QUORIX_STRING(QUORIX_TARGET),
    {
#define QUORIX_KERNEL_ROW(NAME, KERNEL, OUTPUTS, ...) \
  &map_block<NAME##_kernel, kKernelWidth<NAME##_kernel>, __VA_ARGS__>,
        QUORIX_KERNELS(QUORIX_KERNEL_ROW)
#undef QUORIX_KERNEL_ROW
    }};

}  // namespace quorix
