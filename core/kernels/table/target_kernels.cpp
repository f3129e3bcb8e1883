// The kernel table of one instruction-set target. This file is compiled once per target, with
// QUORIX_TARGET naming it and the target's code-generation flags; every copy gives the same bits.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

#include <pthread.h>

#include "kernels/pricing/bachelier.hpp"
#include "kernels/pricing/bachelier_iv.hpp"
#include "kernels/pricing/greeks.hpp"
#include "kernels/pricing/implied_volatility.hpp"
#include "kernels/pricing/second_order.hpp"
#include "kernels/simd/lanes.hpp"
#include "kernels/table/kernels.hpp"

namespace quorix {
inline namespace QUORIX_TARGET {

// Tests define this hook to refuse the working arrays of the staged kernels, as a failed
// allocation would.
#ifdef QUORIX_REFUSABLE_SCRATCH
bool scratch_refused();
#endif

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
  if constexpr (W > 1) {
    if (count == W) {  // the flags widened in one step; a negative flag is a put
      typedef signed char Flags __attribute__((vector_size(W)));
      Flags flags;
      std::memcpy(&flags, data, sizeof flags);
      return __builtin_convertvector(flags, Mask<D>) < 0;
    }
  }
  Mask<D> put{};  // every lane is set below; the braces quiet a false warning
  for (std::size_t j = 0; j < W; ++j) put[j] = is_put(data[j < count ? j : 0]) ? -1 : 0;
  return put;
}

// The outputs of the combined kernels, in their order.
template <class D>
std::array<D, 5> outputs_of(const GreeksOf<D>& g) {
  return {g.delta, g.gamma, g.vega, g.theta, g.rho};
}
template <class D>
std::array<D, 4> outputs_of(const SecondOrderOf<D>& g) {
  return {g.vanna, g.volga, g.charm, g.speed};
}

template <class T>
concept Combined = requires(const T& c) {
  outputs_of(c);
};

template <class D, std::size_t W = kWidth<D>>
requires(!Combined<D>) void store(const D& value, double* const* outputs, std::size_t i,
                                  std::size_t count) {
  const D canonical_value = canonical(value);
  if (count == W) {
    std::memcpy(outputs[0] + i, &canonical_value, sizeof canonical_value);
  } else {
    // j < W tells the compiler that a tail is shorter than a block (one lane: no loop at all).
    for (std::size_t j = 0; j < count && j < W; ++j) outputs[0][i + j] = canonical_value[j];
  }
}

template <Combined C>
void store(const C& combined, double* const* outputs, std::size_t i, std::size_t count) {
  const auto values = outputs_of(combined);
  for (std::size_t g = 0; g < values.size(); ++g) store(values[g], outputs + g, i, count);
}

// Elements at[0..W) of a column (the caller pads a short block with its first element; in place,
// they follow each other), and results stored into the slots at[0..count).
template <class D, std::size_t W = kWidth<D>>
D gather(N, const void* column, const std::size_t* at, bool in_place, std::size_t count) {
  if (in_place) return load<D>(N{}, column, at[0], count);
  D lanes;
  for (std::size_t j = 0; j < W; ++j) lanes[j] = static_cast<const double*>(column)[at[j]];
  return lanes;
}

template <class D, std::size_t W = kWidth<D>>
Mask<D> gather(F, const void* column, const std::size_t* at, bool in_place, std::size_t count) {
  if (in_place) return load<D>(F{}, column, at[0], count);
  Mask<D> put{};  // every lane is set below; the braces quiet a false warning
  for (std::size_t j = 0; j < W; ++j)
    put[j] = is_put(static_cast<const signed char*>(column)[at[j]]) ? -1 : 0;
  return put;
}

template <class D>
requires(!Combined<D>) void scatter(const D& value, double* const* outputs, const std::size_t* at,
                                    std::size_t count) {
  const D canonical_value = canonical(value);
  for (std::size_t j = 0; j < count; ++j) outputs[0][at[j]] = canonical_value[j];
}

template <Combined C>
void scatter(const C& combined, double* const* outputs, const std::size_t* at, std::size_t count) {
  const auto values = outputs_of(combined);
  for (std::size_t g = 0; g < values.size(); ++g) scatter(values[g], outputs + g, at, count);
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

// The first stage of a chunk: every block planned, back to back. Plans are independent of each
// other, so that their long chains of divisions and square roots overlap.
template <class Stages, class D, class... Kinds, class Plan, std::size_t... I>
void plan_chunk(Plan* plans, const Columns& columns, std::size_t chunk, std::size_t size,
                std::index_sequence<I...>) {
  constexpr std::size_t W = kWidth<D>;
  for (std::size_t g = 0; g * W < size; ++g) {
    plans[g] = Stages::plan(
        load<D>(Kinds{}, columns.inputs[I], chunk + g * W, std::min(W, size - g * W))...);
  }
}

// The last stage of a chunk: each block finished from its plan and one value per element (a short
// block padded with its first element), and stored.
template <class D, class Plan, class Finish>
void finish_chunk(const Plan* plans, const double* values, const Columns& columns,
                  std::size_t chunk, std::size_t size, Finish finish) {
  constexpr std::size_t W = kWidth<D>;
  for (std::size_t g = 0; g * W < size; ++g) {
    const std::size_t count = std::min(W, size - g * W);
    D lanes;
    if (count == W) {
      std::memcpy(&lanes, values + g * W, sizeof lanes);
    } else {
      for (std::size_t j = 0; j < W; ++j) lanes[j] = values[g * W + (j < count ? j : 0)];
    }
    store(finish(plans[g], lanes), columns.outputs, chunk + g * W, count);
  }
}

// Orders the elements at[0..size) by their keys key[0..size) < keys, keeping their order within a
// key, into order; counts[k] receives the number of elements of key k. Four quarters of the
// elements are counted and placed side by side, each with its own counters: one counter per key
// would chain the increments of successive elements of one key through memory.
template <int kMaxKeys, class Index>
void sort_by_key(const std::uint8_t* key, const Index* at, std::size_t size, int keys, Index* order,
                 std::size_t* counts) {
  constexpr int kWays = 4;
  const std::size_t quarter = size / kWays;
  const auto each = [&](auto&& visit) {
    for (std::size_t i = 0; i < quarter; ++i) {
      for (int q = 0; q < kWays; ++q) visit(q, q * quarter + i);
    }
    for (std::size_t m = kWays * quarter; m < size; ++m) visit(kWays - 1, m);
  };
  std::size_t next[kWays][kMaxKeys] = {}, first = 0;
  each([&](int q, std::size_t m) { ++next[q][key[m]]; });
  for (int k = 0; k < keys; ++k) {
    const std::size_t start = first;
    for (int q = 0; q < kWays; ++q) {
      const std::size_t elements = next[q][k];
      next[q][k] = first;
      first += elements;
    }
    counts[k] = first - start;
  }
  each([&](int q, std::size_t m) { order[next[q][key[m]]++] = at[m]; });
}

// The working arrays of a staged kernel, one set per thread, made on the thread's first staged
// call and freed when it ends: on the stack they would take up to 330 kB, more than some threads
// have (musl's default of 128 kB, or a smaller threading.stack_size). A thread key rather than a
// thread_local object, whose destructor glibc would run from the dynamic TLS of this module
// (ThreadSanitizer then reports its reuse as a race). Null when the key or the arrays cannot be
// had; the caller then runs the plain lane kernel, which gives the same bits.
template <class Scratch>
Scratch* thread_scratch() {
#ifdef QUORIX_REFUSABLE_SCRATCH
  if (scratch_refused()) return nullptr;
#endif
  // posix_memalign rather than new (std::nothrow), which throws and catches inside libstdc++:
  // on a worker whose exception globals (dynamic TLS) cannot be allocated, glibc then aborts.
  static_assert(std::is_trivially_destructible_v<Scratch>);
  static pthread_key_t key;  // set once, by the guarded initialisation of made
  static const bool made = pthread_key_create(&key, &std::free) == 0;
  if (!made) return nullptr;
  auto* scratch = static_cast<Scratch*>(pthread_getspecific(key));
  if (scratch == nullptr) {
    void* memory = nullptr;
    if (posix_memalign(&memory, alignof(Scratch), sizeof(Scratch)) != 0) return nullptr;
    if (pthread_setspecific(key, memory) != 0) {
      std::free(memory);
      return nullptr;
    }
    scratch = new (memory) Scratch;
  }
  return scratch;
}

// Kernels whose lanes take branches by class, in chunks: a block whose lanes share a class is
// evaluated in place; the lanes of the other blocks are ordered by class (a counting sort) and
// evaluated a block at a time in that order, so that in a mixed chain most blocks take one branch
// of each function. Each element goes through the kernel's own operations.
template <class Sorted, class Kernel, class... Kinds, std::size_t... I>
void map_sorted_lanes(const Columns& columns, std::size_t begin, std::size_t end,
                      std::index_sequence<I...>) {
  using D = Lanes<kTargetWidth>;
  constexpr std::size_t W = kTargetWidth;
  constexpr std::size_t kChunk = 256;
  std::uint8_t class_of[kChunk];
  std::size_t uniform[kChunk / W], mixed[kChunk], order[kChunk];
  for (std::size_t chunk = begin; chunk < end; chunk += kChunk) {
    const std::size_t size = std::min(kChunk, end - chunk);
    std::size_t blocks = 0, pending = 0;
    for (std::size_t i = 0; i < size; i += W) {
      const std::size_t count = std::min(W, size - i);
      const Mask<D> classes = Sorted::key(load<D>(Kinds{}, columns.inputs[I], chunk + i, count)...);
      if (all<D>(classes == classes[0])) {  // padding lanes repeat the first element
        uniform[blocks++] = i;
        continue;
      }
      for (std::size_t j = 0; j < count; ++j, ++pending) {
        mixed[pending] = i + j;
        class_of[pending] = static_cast<std::uint8_t>(classes[j]);
      }
    }
    std::size_t counts[Sorted::kClasses];
    sort_by_key<Sorted::kClasses>(class_of, mixed, pending, Sorted::kClasses, order, counts);
    // One call site of the kernel: the uniform blocks, then the rest.
    for (std::size_t job = 0; job < blocks + (pending + W - 1) / W; ++job) {
      const bool in_place = job < blocks;
      const std::size_t p = (job - blocks) * W;
      const std::size_t start = in_place ? chunk + uniform[job] : 0;
      const std::size_t count = std::min(W, in_place ? chunk + size - start : pending - p);
      std::size_t at[W];
      for (std::size_t j = 0; j < W; ++j) {
        at[j] = in_place ? start + (j < count ? j : 0) : chunk + order[p + (j < count ? j : 0)];
      }
      const auto value = Kernel{}(gather<D>(Kinds{}, columns.inputs[I], at, in_place, count)...);
      in_place ? store(value, columns.outputs, start, count)
               : scatter(value, columns.outputs, at, count);
    }
  }
}

// Each class leaves at most one part-filled block per chunk: a longer chunk pads fewer lanes, for
// about 55 kB of working arrays (longer chunks leave short calls slower).
constexpr std::size_t kPriceChunk = 512;

struct PriceScratch {
  PricePlan<Lanes<kTargetWidth>> plans[kPriceChunk / kTargetWidth];
  double x[kPriceChunk], s[kPriceChunk], h[kPriceChunk], b[kPriceChunk];
  std::uint16_t lists[kBlackClasses][kPriceChunk];
};

// Prices in chunks: the lanes of a chunk are planned, sorted into one index list per class of
// the Black function (its region and branches), evaluated a full block of one class at a time,
// and finished. Mixed chains would otherwise evaluate several regions' formulas for every block.
// x / s is kept from the sort for the evaluation: one division fewer per price.
// Each element goes through the same operations as in option_price, so the bits are the same.
// False, having done nothing, when the working arrays cannot be had.
template <class Stages, class... Kinds, std::size_t... I>
bool map_price_chunks(const Columns& columns, std::size_t begin, std::size_t end,
                      std::index_sequence<I...>) {
  using D = Lanes<kTargetWidth>;
  constexpr std::size_t W = kTargetWidth;
  constexpr std::size_t kChunk = kPriceChunk;
  PriceScratch* scratch = thread_scratch<PriceScratch>();
  if (scratch == nullptr) return false;
  auto& [plans, x, s, h, b, lists] = *scratch;
  for (std::size_t chunk = begin; chunk < end; chunk += kChunk) {
    const std::size_t size = std::min(kChunk, end - chunk);
    std::size_t counts[kBlackClasses] = {};
    plan_chunk<Stages, D, Kinds...>(plans, columns, chunk, size, std::index_sequence<I...>{});
    for (std::size_t g = 0; g * W < size; ++g) {
      const std::size_t count = std::min(W, size - g * W);
      const PricePlan<D>& plan = plans[g];
      const D hs = plan.x / plan.s;
      const Mask<D> classes = black_class(plan.x, plan.s, hs);
      for (std::size_t j = 0; j < count; ++j) {
        if (plan.general[j]) {
          lists[classes[j]][counts[classes[j]]++] = static_cast<std::uint16_t>(g * W + j);
        }
      }
      // Whole blocks: the arrays hold a whole number of them.
      std::memcpy(x + g * W, &plan.x, sizeof plan.x);
      std::memcpy(s + g * W, &plan.s, sizeof plan.s);
      std::memcpy(h + g * W, &hs, sizeof hs);
      std::fill(b + g * W, b + (g + 1) * W, 0.0);
    }
    for (int black_class = 0; black_class < kBlackClasses; ++black_class) {
      const int region = region_of_class(black_class);
      const std::uint16_t* list = lists[black_class];
      for (std::size_t p = 0; p < counts[black_class]; p += W) {
        const std::size_t count = std::min(W, counts[black_class] - p);
        D xs, ss, hs;
        for (std::size_t j = 0; j < W; ++j) {
          const std::size_t e = list[p + (j < count ? j : 0)];
          xs[j] = x[e];
          ss[j] = s[e];
          hs[j] = h[e];
        }
        const D value = finish_black(black_region_value(region, xs, ss, hs), xs, ss).b;
        for (std::size_t j = 0; j < count; ++j) b[list[p + j]] = value[j];
      }
    }
    finish_chunk<D>(plans, b, columns, chunk, size,
                    [](const PricePlan<D>& plan, D lanes) { return finish_price(plan, lanes); });
  }
  return true;
}

// Each list leaves at most one part-filled block per chunk: 2048 options fill the Householder
// stage's pairs of blocks better than 1024, for about 330 kB of working arrays.
constexpr std::size_t kVolatilityChunk = 2048;

// The reduced inversions of a chunk, a column per field of Reduced, by element of the chunk.
struct ReducedColumns {
  double beta[kVolatilityChunk], x[kVolatilityChunk], b_max[kVolatilityChunk];
  double s_c[kVolatilityChunk], central_b[kVolatilityChunk], central_v[kVolatilityChunk];
  std::int64_t below[kVolatilityChunk];  // a mask: all bits set where beta is below central_b
  double s_side[kVolatilityChunk];
};

// The elements of a chunk filed under lists, in the order filed; a counting sort orders them by
// list when a stage runs them.
struct Lists {
  std::uint16_t at[kVolatilityChunk];
  std::uint8_t list[kVolatilityChunk];
  std::size_t size;

  void file(std::size_t element, int into) {
    at[size] = static_cast<std::uint16_t>(element);
    list[size++] = static_cast<std::uint8_t>(into);
  }
};

// The path an inversion takes after its side value: the first guess's branch, and then the
// objective of its Householder steps.
enum Path : int { kInnerPath, kLowerPath, kUpperPath, kPaths };

// The path of each lane, without branches: lanes of random options take random paths.
template <class L>
Mask<L> paths_of(const Mask<L>& lower, const Mask<L>& upper) {
  return (lower & std::int64_t{kLowerPath}) | (upper & std::int64_t{kUpperPath});
}

// The Householder stage's lists: by path, then by the class of the Black function at the guess
// (list path * kBlackClasses + class).
constexpr int kRefineLists = kPaths * kBlackClasses;

struct VolatilityScratch {
  VolatilityPlan<Lanes<kTargetWidth>> plans[kVolatilityChunk / kTargetWidth];
  ReducedColumns reduced;
  double side_b[kVolatilityChunk], side_v[kVolatilityChunk];  // the Black function at s_side
  double s[kVolatilityChunk], left[kVolatilityChunk], right[kVolatilityChunk];  // the guesses
  double total[kVolatilityChunk];  // the results, settled or refined
  Lists lists[2];                  // a stage reads one set and files into the other
  std::uint16_t order[kVolatilityChunk];
};

// Lanes of a column at the elements `at` (a short block repeats its first element).
template <class L>
L read_lanes(const double* column, const std::size_t* at) {
  L lanes;
  for (std::size_t j = 0; j < kWidth<L>; ++j) lanes[j] = column[at[j]];
  return lanes;
}

template <class L>
Mask<L> read_mask(const std::int64_t* column, const std::size_t* at) {
  Mask<L> lanes{};
  for (std::size_t j = 0; j < kWidth<L>; ++j) lanes[j] = column[at[j]];
  return lanes;
}

template <class L>
void write_lanes(double* column, const L& value, const std::size_t* at, std::size_t count) {
  for (std::size_t j = 0; j < count; ++j) column[at[j]] = value[j];
}

template <class L>
Reduced<L> read_reduced(const ReducedColumns& c, const std::size_t* at) {
  return {read_lanes<L>(c.beta, at),
          read_lanes<L>(c.x, at),
          read_lanes<L>(c.b_max, at),
          read_lanes<L>(c.s_c, at),
          {read_lanes<L>(c.central_b, at), read_lanes<L>(c.central_v, at)},
          read_mask<L>(c.below, at),
          read_lanes<L>(c.s_side, at)};
}

// What the side value and the branch read of a reduced inversion; the rest stays zero.
template <class L>
Reduced<L> read_side_inputs(const ReducedColumns& c, const std::size_t* at) {
  const L zero = splat<L>(0.0);
  return {read_lanes<L>(c.beta, at), read_lanes<L>(c.x, at),     zero, zero, {zero, zero},
          read_mask<L>(c.below, at), read_lanes<L>(c.s_side, at)};
}

// Block g of the chunk, whole (the columns hold a whole number of blocks).
template <class D>
void write_block(ReducedColumns* c, const Reduced<D>& r, std::size_t g) {
  const std::size_t first = g * kWidth<D>;
  std::memcpy(c->beta + first, &r.beta, sizeof r.beta);
  std::memcpy(c->x + first, &r.x, sizeof r.x);
  std::memcpy(c->b_max + first, &r.b_max, sizeof r.b_max);
  std::memcpy(c->s_c + first, &r.s_c, sizeof r.s_c);
  std::memcpy(c->central_b + first, &r.central.b, sizeof r.central.b);
  std::memcpy(c->central_v + first, &r.central.v, sizeof r.central.v);
  std::memcpy(c->below + first, &r.below, sizeof r.below);
  std::memcpy(c->s_side + first, &r.s_side, sizeof r.s_side);
}

// Runs stage(list, at, count) over the blocks of `width` elements of each of the first `lists`
// lists of a set, a short block padded with its first element.
template <class Stage>
void for_each_block(const Lists& set, int lists, std::size_t width, std::uint16_t* order,
                    Stage&& stage) {
  std::size_t counts[kRefineLists], first = 0;
  sort_by_key<kRefineLists>(set.list, set.at, set.size, lists, order, counts);
  std::size_t at[2 * kTargetWidth];
  for (int list = 0; list < lists; ++list) {
    for (std::size_t p = 0; p < counts[list]; p += width) {
      const std::size_t count = std::min(width, counts[list] - p);
      for (std::size_t j = 0; j < width; ++j) at[j] = order[first + p + (j < count ? j : 0)];
      stage(list, at, count);
    }
    first += counts[list];
  }
}

// The Householder steps, blocks held two at a time and refined side by side through the step
// before the last. About a fifth of the lanes that remain then need the last step: they move
// into full blocks for it.
template <class P>
class Refiner {
 public:
  explicit Refiner(double* total) : total_(total) {}

  void add(const lbr::Refinement<P>& block, const std::size_t* at, std::size_t count) {
    held_[waiting_] = block;
    std::copy(at, at + kWidth<P>, held_at_[waiting_]);
    held_count_[waiting_] = count;
    if (++waiting_ == kHeld) refine_held();
  }

  // Refines what is still held and waiting for the last step.
  void finish() {
    if (waiting_ > 0) refine_held();
    if (late_count_ > 0) refine_late();
  }

 private:
  static constexpr std::size_t kHeld = 2, kW = kWidth<P>;

  void refine_held() {
    if (waiting_ == kHeld) {
      lbr::householder_refine_blocks<kHeld>(held_, kMaxHouseholderSteps - 1);
    } else {
      for (std::size_t k = 0; k < waiting_; ++k) {
        lbr::householder_refine_blocks<1>(&held_[k], kMaxHouseholderSteps - 1);
      }
    }
    for (std::size_t k = 0; k < waiting_; ++k) {
      write_lanes(total_, held_[k].s, held_at_[k], held_count_[k]);
      const Mask<P> refining = lbr::still_refining(held_[k]);
      for (std::size_t j = 0; j < held_count_[k]; ++j) {
        if (!refining[j]) continue;
        lbr::move_lane(held_[k], j, &late_, late_count_);
        late_at_[late_count_++] = held_at_[k][j];
        if (late_count_ == kW) refine_late();
      }
    }
    waiting_ = 0;
  }

  void refine_late() {
    for (std::size_t j = late_count_; j < kW; ++j) {  // padding repeats the first lane
      lbr::move_lane(late_, 0, &late_, j);
      late_at_[j] = late_at_[0];
    }
    lbr::householder_last_step(&late_);
    write_lanes(total_, late_.s, late_at_, late_count_);
    late_count_ = 0;
  }

  double* total_;
  lbr::Refinement<P> held_[kHeld], late_;
  std::size_t held_at_[kHeld][kW] = {}, held_count_[kHeld] = {}, waiting_ = 0;
  std::size_t late_at_[kW] = {}, late_count_ = 0;
};

// Implied vols in chunks, stage by stage, each stage running full blocks of lanes that take the
// same path: the reduction and the central value block by block; the side value by class of the
// Black function at the side point; the first guess by branch; the Householder steps by objective
// and by class at the guess (where the root mostly lies too). Each element goes through the same
// operations as in normalised_implied_volatility, so the bits are the same.
// False, having done nothing, when the working arrays cannot be had.
template <class Stages, class... Kinds, std::size_t... I>
bool map_volatility_chunks(const Columns& columns, std::size_t begin, std::size_t end,
                           std::index_sequence<I...>) {
  using D = Lanes<kTargetWidth>;
  // Where the target pairs blocks, the first guess and the Householder steps run two blocks side
  // by side: their long chains of dependent divisions, logarithms and exponentials leave the
  // processor waiting on latency.
  using P = std::conditional_t<kTargetPairs, Pair<D>, D>;
  constexpr std::size_t W = kTargetWidth, PW = kWidth<P>;
  VolatilityScratch* scratch = thread_scratch<VolatilityScratch>();
  if (scratch == nullptr) return false;
  VolatilityScratch& c = *scratch;
  for (std::size_t chunk = begin; chunk < end; chunk += kVolatilityChunk) {
    const std::size_t size = std::min(kVolatilityChunk, end - chunk);
    // The reduction and the central value, block by block; lanes with a time value filed by the
    // class of the Black function at their side point.
    plan_chunk<Stages, D, Kinds...>(c.plans, columns, chunk, size, std::index_sequence<I...>{});
    c.lists[0].size = 0;
    for (std::size_t g = 0; g * W < size; ++g) {
      const std::size_t count = std::min(W, size - g * W);
      const VolatilityPlan<D>& plan = c.plans[g];
      const Start<D> start = start_inversion(plan.beta, plan.x, plan.theta);
      std::memcpy(c.total + g * W, &start.settled, sizeof start.settled);
      if (!any<D>(start.active)) continue;
      write_block(&c.reduced, start.reduced, g);
      const Mask<D> side_class = black_class(start.reduced.x, start.reduced.s_side);
      for (std::size_t j = 0; j < count; ++j) {
        if (start.active[j]) c.lists[0].file(g * W + j, static_cast<int>(side_class[j]));
      }
    }
    // The side values, by class; filed by the branch of the first guess.
    c.lists[1].size = 0;
    for_each_block(
        c.lists[0], kBlackClasses, W, c.order, [&](int, const std::size_t* at, std::size_t count) {
          const Reduced<D> r = read_side_inputs<D>(c.reduced, at);
          const Mask<D> all = ~Mask<D>{};
          const BlackValueOf<D> side = side_value(r, all);
          write_lanes(c.side_b, side.b, at, count);
          write_lanes(c.side_v, side.v, at, count);
          const Mask<D> paths = paths_of<D>(lower_branch(r, side, all), upper_branch(r, side, all));
          for (std::size_t j = 0; j < count; ++j) {
            c.lists[1].file(at[j], static_cast<int>(paths[j]));
          }
        });
    // The first guesses, by branch; filed by objective and the class at the guess.
    c.lists[0].size = 0;
    for_each_block(
        c.lists[1], kPaths, PW, c.order, [&](int, const std::size_t* at, std::size_t count) {
          const Reduced<P> r = read_reduced<P>(c.reduced, at);
          const BlackValueOf<P> side{read_lanes<P>(c.side_b, at), read_lanes<P>(c.side_v, at)};
          const Guess<P> guess = first_guess(r, side, ~Mask<P>{});
          write_lanes(c.s, guess.s, at, count);
          write_lanes(c.left, guess.objective.left, at, count);
          write_lanes(c.right, guess.objective.right, at, count);
          const Mask<P> lists =
              paths_of<P>(guess.objective.lower, guess.objective.upper) * kBlackClasses +
              black_class(r.x, guess.s);
          for (std::size_t j = 0; j < count; ++j) {
            c.lists[0].file(at[j], static_cast<int>(lists[j]));
          }
        });
    // The Householder steps, by objective and class.
    Refiner<P> refiner(c.total);
    for_each_block(
        c.lists[0], kRefineLists, PW, c.order,
        [&](int list, const std::size_t* at, std::size_t count) {
          const Path path = static_cast<Path>(list / kBlackClasses);
          const lbr::Objective<P> objective{Mask<P>{} - (path == kLowerPath),
                                            Mask<P>{} - (path == kUpperPath),
                                            read_lanes<P>(c.left, at), read_lanes<P>(c.right, at)};
          refiner.add(lbr::start_refinement(read_lanes<P>(c.reduced.beta, at),
                                            read_lanes<P>(c.reduced.x, at),
                                            read_lanes<P>(c.reduced.b_max, at),
                                            read_lanes<P>(c.s, at), objective, ~Mask<P>{}),
                      at, count);
        });
    refiner.finish();
    finish_chunk<D>(
        c.plans, c.total, columns, chunk, size,
        [](const VolatilityPlan<D>& plan, D lanes) { return finish_volatility(plan, lanes); });
  }
  return true;
}

// Kernels whose Black value a block may evaluate region by region, with their price plan.
template <class Kernel>
struct PriceStages {
  static constexpr bool kStaged = false;
};

// Kernels whose inversions a block may refine sorted by objective and region, with their plan.
template <class Kernel>
struct VolatilityStages {
  static constexpr bool kStaged = false;
};

// Kernels whose lanes a chunk may order by class, with the class of a block's lanes.
template <class Kernel>
struct SortedLanes {
  static constexpr bool kSorted = false;
};

// Every path gives the same bits; the staged ones fall back to the plain lanes.
template <class Kernel, int W, class... Kinds>
void map_block(const Columns& columns, std::size_t begin, std::size_t end) {
  constexpr auto inputs = std::index_sequence_for<Kinds...>{};
  if (end - begin == 1) {
    // One element (a scalar call): nothing to sort, and the staged forms' set-up would cost
    // more than the kernel itself.
    map_lanes<Kernel, Lanes<1>, Kinds...>(columns, begin, end, inputs);
    return;
  }
  if constexpr (PriceStages<Kernel>::kStaged) {
    if (map_price_chunks<PriceStages<Kernel>, Kinds...>(columns, begin, end, inputs)) return;
  } else if constexpr (VolatilityStages<Kernel>::kStaged) {
    if (map_volatility_chunks<VolatilityStages<Kernel>, Kinds...>(columns, begin, end, inputs)) {
      return;
    }
  } else if constexpr (SortedLanes<Kernel>::kSorted) {
    map_sorted_lanes<SortedLanes<Kernel>, Kernel, Kinds...>(columns, begin, end, inputs);
    return;
  }
  map_lanes<Kernel, Lanes<W>, Kinds...>(columns, begin, end, inputs);
}

// Calls f with the arguments and r (argument R) once more after it: Black-76's arguments in the
// order of BSM's, with s = f and q = r.
template <std::size_t R, class F, class... A>
QUORIX_INLINE auto with_q_equal_r(F f, A... a) {
  const std::tuple<A...> args{a...};
  return [&]<std::size_t... I, std::size_t... J>(std::index_sequence<I...>,
                                                 std::index_sequence<J...>) {
    return f(std::get<I>(args)..., std::get<R>(args), std::get<R + 1 + J>(args)...);
  }
  (std::make_index_sequence<R + 1>{}, std::make_index_sequence<sizeof...(A) - R - 1>{});
}

// Black-76 is BSM on the forward with q = r: a row without q whose lane kernel takes one runs it
// with r in q's place. Only Black-76's rho (and the combined Greeks that carry it) has a kernel
// of its own.
#define QUORIX_KERNEL_FUNCTOR(NAME, KERNEL, ...)                                     \
  struct NAME##_kernel {                                                             \
    template <class... A>                                                            \
    auto operator()(A... a) const {                                                  \
      if constexpr (requires { KERNEL(a...); }) {                                    \
        return KERNEL(a...);                                                         \
      } else {                                                                       \
        constexpr auto r = static_cast<std::size_t>(kernel_shape(KernelId::NAME).r); \
        return with_q_equal_r<r>([](auto... b) { return KERNEL(b...); }, a...);      \
      }                                                                              \
    }                                                                                \
  };
QUORIX_KERNELS(QUORIX_KERNEL_FUNCTOR)
#undef QUORIX_KERNEL_FUNCTOR

template <>
struct PriceStages<bsm_price_kernel> {
  static constexpr bool kStaged = true;
  template <class D>
  static PricePlan<D> plan(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
    return price_plan(put, s, k, t, r, q, sigma);
  }
};

template <>
struct VolatilityStages<bsm_iv_kernel> {
  static constexpr bool kStaged = true;
  template <class D>
  static VolatilityPlan<D> plan(D price, Mask<D> put, D s, D k, D t, D r, D q) {
    return volatility_plan(price, put, s, k, t, r, q);
  }
};

// The Greeks that need Phi(d1) or Phi(d2), sorted by their cdf branches.
struct BsmGreeksClass {
  static constexpr bool kSorted = true;
  static constexpr int kClasses = kGreeksClasses;
  template <class D>
  static Mask<D> key(Mask<D> put, D s, D k, D t, D r, D q, D sigma) {
    return greeks_class(put, s, k, t, r, q, sigma);
  }
};

template <>
struct SortedLanes<bsm_delta_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_theta_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_rho_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_greeks_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_charm_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_dividend_rho_kernel> : BsmGreeksClass {};
template <>
struct SortedLanes<bsm_second_order_kernel> : BsmGreeksClass {};

// A Black-76 kernel's stages: its BSM twin's, with q = r (argument R).
template <class Bsm, int R>
struct WithQEqualR : Bsm {
  template <class... A>
  static auto plan(A... a) {
    return with_q_equal_r<R>([](auto... b) { return Bsm::plan(b...); }, a...);
  }
  template <class... A>
  static auto key(A... a) {
    return with_q_equal_r<R>([](auto... b) { return Bsm::key(b...); }, a...);
  }
};

#define QUORIX_BLACK76_STAGES(STAGES, NAME, BSM) \
  template <>                                    \
  struct STAGES<NAME##_kernel>                   \
      : WithQEqualR<STAGES<BSM##_kernel>, kernel_shape(KernelId::NAME).r> {};
QUORIX_BLACK76_STAGES(PriceStages, black76_price, bsm_price)
QUORIX_BLACK76_STAGES(VolatilityStages, black76_iv, bsm_iv)
QUORIX_BLACK76_STAGES(SortedLanes, black76_delta, bsm_delta)
QUORIX_BLACK76_STAGES(SortedLanes, black76_theta, bsm_theta)
QUORIX_BLACK76_STAGES(SortedLanes, black76_greeks, bsm_greeks)
QUORIX_BLACK76_STAGES(SortedLanes, black76_charm, bsm_charm)
QUORIX_BLACK76_STAGES(SortedLanes, black76_second_order, bsm_second_order)
#undef QUORIX_BLACK76_STAGES

// The block kernel of a row: a flag column where the row's parameters name one, numbers elsewhere.
template <class Kernel, KernelId Id, std::size_t... I>
constexpr BlockKernel block_of(std::index_sequence<I...>) {
  constexpr int flag = kernel_shape(Id).flag;
  return &map_block<Kernel, kTargetWidth, std::conditional_t<static_cast<int>(I) == flag, F, N>...>;
}

}  // namespace

}  // namespace QUORIX_TARGET

#define QUORIX_CONCAT_(A, B) A##B
#define QUORIX_CONCAT(A, B) QUORIX_CONCAT_(A, B)

extern const KernelTable QUORIX_CONCAT(kernel_table_, QUORIX_TARGET);
const KernelTable QUORIX_CONCAT(kernel_table_, QUORIX_TARGET) = {{
#define QUORIX_KERNEL_ROW(NAME, ...)       \
  block_of<NAME##_kernel, KernelId::NAME>( \
      std::make_index_sequence<kernel_shape(KernelId::NAME).columns>{}),
    QUORIX_KERNELS(QUORIX_KERNEL_ROW)
#undef QUORIX_KERNEL_ROW
}};

}  // namespace quorix
