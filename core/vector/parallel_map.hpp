// Element-wise map over [0, n) on the worker pool, writing each value into its own slot.
#pragma once

#include <algorithm>
#include <cstddef>

#include "vector/pool.hpp"

namespace quorix {

namespace detail {

template <class T>
struct Written {
  T* first;             // first slot of the sub-slice
  std::size_t length;   // slots in the sub-slice
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

template <class T, class Element>
Written<T> compute_range(const Element& element, std::size_t start, std::size_t end, T* out) {
  const std::size_t length = end - start;
  std::size_t written = 0;
  for (std::size_t i = start; i < end; ++i) {
    if (written == length) pool::fatal("too many values pushed to consumer");
    out[written++] = element(i);
  }
  return {out, length, written};
}

template <class T>
Written<T> merge(Written<T> left, Written<T> right) {
  if (left.first + left.written != right.first) return left;  // leaves a short count
  return {left.first, left.length + right.length, left.written + right.written};
}

template <class T, class Element>
Written<T> map_task(const Element& element, std::size_t start, std::size_t end, T* out,
                    std::size_t budget, bool stolen, std::size_t threads);

template <class T, class Element>
Written<T> fork_halves(const Element& element, std::size_t start, std::size_t end, T* out,
                       std::size_t budget, std::size_t threads, bool injected) {
  const std::size_t mid = (end - start) / 2;
  auto left = [&](bool stolen) {
    return map_task(element, start, start + mid, out, budget, stolen, threads);
  };
  auto right = [&](bool stolen) {
    return map_task(element, start + mid, end, out + mid, budget, stolen, threads);
  };
  const auto [left_result, right_result] = pool::join(left, right, injected);
  return merge(left_result, right_result);
}

template <class T, class Element>
Written<T> map_task(const Element& element, std::size_t start, std::size_t end, T* out,
                    std::size_t budget, bool stolen, std::size_t threads) {
  const Split split = decide_split(end - start, budget, stolen, threads);
  if (!split.split) return compute_range(element, start, end, out);
  return fork_halves(element, start, end, out, split.budget, threads, false);
}

}  // namespace detail

// Fills out[0..n) with element(i) on the pool and returns the number of slots written. The
// calling thread must not be attached to the interpreter: it blocks until the map is done.
template <class T, class Element>
std::size_t parallel_map(std::size_t n, const Element& element, T* out) {
  const std::size_t threads = pool::thread_count();
  const detail::Split split = detail::decide_split(n, threads, false, threads);
  if (!split.split) return detail::compute_range(element, 0, n, out).written;
  struct Injected {
    const Element& element;
    std::size_t n;
    T* out;
    std::size_t budget;
    std::size_t threads;
    detail::Written<T> operator()(bool) const {
      return detail::fork_halves(element, 0, n, out, budget, threads, true);
    }
  } injected{element, n, out, split.budget, threads};
  pool::StackJob<Injected> job(&injected);
  pool::inject_and_wait(&job.job);
  return job.result.written;
}

}  // namespace quorix
