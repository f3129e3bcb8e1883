// Parallel map over [0, n) on the worker pool: the range is halved adaptively and every leaf
// range is handed to the caller's range function, which writes each value into its own slot.
#pragma once

#include <algorithm>
#include <cstddef>

#include "kernels/pool/pool.hpp"

namespace quorix {

namespace detail {

struct Written {
  std::size_t start;    // first index of the sub-range
  std::size_t length;   // indices in the sub-range
  std::size_t written;  // slots written
};

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
Written compute_range(const Range& range, std::size_t start, std::size_t end) {
  const std::size_t written = range(start, end);
  if (written > end - start) pool::fatal("too many values pushed to consumer");
  return {start, end - start, written};
}

inline Written merge(Written left, Written right) {
  if (left.start + left.written != right.start) return left;  // leaves a short count
  return {left.start, left.length + right.length, left.written + right.written};
}

template <class Range>
Written map_task(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
                 bool stolen, std::size_t threads);

template <class Range>
Written fork_halves(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
                    std::size_t threads, bool injected) {
  const std::size_t mid = start + (end - start) / 2;
  auto left = [&](bool stolen) { return map_task(range, start, mid, budget, stolen, threads); };
  auto right = [&](bool stolen) { return map_task(range, mid, end, budget, stolen, threads); };
  const auto [left_result, right_result] = pool::join(left, right, injected);
  return merge(left_result, right_result);
}

template <class Range>
Written map_task(const Range& range, std::size_t start, std::size_t end, std::size_t budget,
                 bool stolen, std::size_t threads) {
  const Split split = decide_split(end - start, budget, stolen, threads);
  if (!split.split) return compute_range(range, start, end);
  return fork_halves(range, start, end, split.budget, threads, false);
}

}  // namespace detail

// Calls range(start, end), which returns the number of slots it wrote, on leaf ranges that
// cover [0, n) on the pool; returns the slots written in total. The calling thread must not be
// attached to the interpreter: it blocks until the map is done.
template <class Range>
std::size_t parallel_ranges(std::size_t n, const Range& range) {
  const std::size_t threads = pool::thread_count();
  const detail::Split split = detail::decide_split(n, threads, false, threads);
  if (!split.split) return detail::compute_range(range, 0, n).written;
  struct Injected {
    const Range& range;
    std::size_t n;
    std::size_t budget;
    std::size_t threads;
    detail::Written operator()(bool) const {
      return detail::fork_halves(range, 0, n, budget, threads, true);
    }
  } injected{range, n, split.budget, threads};
  pool::StackJob<Injected> job(&injected);
  pool::inject_and_wait(&job.job);
  return job.result.written;
}

// Fills out[0..n) with element(i) on the pool and returns the number of slots written.
template <class T, class Element>
std::size_t parallel_map(std::size_t n, const Element& element, T* out) {
  return parallel_ranges(n, [&](std::size_t start, std::size_t end) {
    for (std::size_t i = start; i < end; ++i) out[i] = element(i);
    return end - start;
  });
}

}  // namespace quorix
