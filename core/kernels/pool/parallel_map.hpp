// Parallel map over [0, n) on the worker pool: the range is halved adaptively and every leaf
// range is handed to the caller's range function, which writes each value into its own slot.
#pragma once

#include <algorithm>
#include <cstddef>

#include "kernels/pool/pool.hpp"

namespace quorix {

namespace detail {

struct Split {
  bool split;
  std::size_t budget;
};

// Adaptive halving: the budget halves per level; a stolen task renews it to at least the
// thread count so that it is divided again among the threads.
inline Split decide_split(std::size_t length, std::size_t budget, bool stolen,
                          std::size_t threads) {
  if (length / 2 < 1) return {false, budget};
  if (stolen) return {true, std::max(threads, budget / 2)};
  if (budget == 0) return {false, budget};
  return {true, budget / 2};
}

template <class Range>
void map_task(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
              bool stolen, std::size_t threads);

template <class Range>
void fork_halves(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
                 std::size_t threads, bool injected) {
  const std::size_t mid = start + (end - start) / 2;
  auto left = [&](bool stolen) { return map_task(range, start, mid, budget, stolen, threads); };
  auto right = [&](bool stolen) { return map_task(range, mid, end, budget, stolen, threads); };
  pool::join(left, right, injected);
}

template <class Range>
void map_task(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
              bool stolen, std::size_t threads) {
  const Split split = decide_split(end - start, budget, stolen, threads);
  if (!split.split) return range(start, end);
  fork_halves(range, start, end, split.budget, threads, false);
}

}  // namespace detail

// Calls range(start, end) on leaf ranges that cover [0, n) on the pool. The calling thread must
// not be attached to the interpreter: it blocks until the map is done.
template <class Range>
void parallel_ranges(std::size_t n, const Range& range) {
  const std::size_t threads = pool::thread_count();
  const detail::Split split = detail::decide_split(n, threads, false, threads);
  if (!split.split) return range(0, n);
  struct Injected {
    const Range& range;
    std::size_t n;
    std::size_t budget;
    std::size_t threads;
    void operator()(bool) const { detail::fork_halves(range, 0, n, budget, threads, true); }
  } injected{range, n, split.budget, threads};
  pool::StackJob<Injected> job(&injected);
  pool::inject_and_wait(&job.job);
}

}  // namespace quorix
