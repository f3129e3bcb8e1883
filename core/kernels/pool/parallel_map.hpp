// Parallel map over [0, n) on the worker pool: the range is halved adaptively and every leaf
// range is handed to the caller's range function, in slices, which writes each value into its own
// slot.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>

#include "kernels/pool/pool.hpp"

namespace quorix {

namespace detail {

// Elements handed to the range function at a time: a call asked to stop ends after the slices
// under way, a few milliseconds.
inline constexpr std::size_t kSlice = 16384;

// Calls range on [start, end) slice by slice until done or told to stop.
template <class Range>
void run_slices(const Range& range, std::size_t start, std::size_t end,
                const std::atomic<bool>& stop) {
  for (std::size_t at = start; at < end; at += kSlice) {
    if (stop.load(std::memory_order_relaxed)) return;
    range(at, std::min(end, at + kSlice));
  }
}

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

// What every task of one map shares.
template <class Range>
struct Map {
  const Range& range;
  std::size_t threads;
  const std::atomic<bool>& stop;
};

template <class Range>
void map_task(const Map<Range>& map, std::size_t start, std::size_t end, std::size_t budget,
              bool stolen);

template <class Range>
void fork_halves(const Map<Range>& map, std::size_t start, std::size_t end, std::size_t budget,
                 bool injected) {
  const std::size_t mid = start + (end - start) / 2;
  auto left = [&](bool stolen) { return map_task(map, start, mid, budget, stolen); };
  auto right = [&](bool stolen) { return map_task(map, mid, end, budget, stolen); };
  pool::join(left, right, injected);
}

template <class Range>
void map_task(const Map<Range>& map, std::size_t start, std::size_t end, std::size_t budget,
              bool stolen) {
  const Split split = decide_split(end - start, budget, stolen, map.threads);
  if (!split.split) return run_slices(map.range, start, end, map.stop);
  fork_halves(map, start, end, split.budget, false);
}

// The calling thread alone: slice by slice, asking the interrupt between slices every few
// milliseconds.
template <class Range>
bool run_alone(std::size_t n, const Range& range, const pool::Interrupt& interrupt) {
  using Clock = std::chrono::steady_clock;
  auto next_poll = Clock::now() + std::chrono::milliseconds(pool::kPollMilliseconds);
  for (std::size_t at = 0; at < n; at += kSlice) {
    range(at, std::min(n, at + kSlice));
    if (interrupt.requested == nullptr || at + kSlice >= n || Clock::now() < next_poll) continue;
    if (interrupt.requested(interrupt.context)) return false;
    next_poll = Clock::now() + std::chrono::milliseconds(pool::kPollMilliseconds);
  }
  return true;
}

}  // namespace detail

// Calls range(start, end) on ranges that cover [0, n), on the pool's workers or, where a call may
// use one thread only, on the calling thread. The calling thread must not be attached to the
// interpreter. Returns false when `interrupt` asked to stop: some ranges were then never run.
template <class Range>
bool parallel_ranges(std::size_t n, const Range& range, const pool::Interrupt& interrupt = {}) {
  const std::size_t threads = pool::thread_count();
  const detail::Split split = detail::decide_split(n, threads, false, threads);
  if (threads <= 1 || !split.split) return detail::run_alone(n, range, interrupt);
  std::atomic<bool> stop{false};
  const detail::Map<Range> map{range, threads, stop};
  struct Injected {
    const detail::Map<Range>& map;
    std::size_t n;
    std::size_t budget;
    void operator()(bool) const { detail::fork_halves(map, 0, n, budget, true); }
  } injected{map, n, split.budget};
  pool::StackJob<Injected> job(&injected);
  pool::inject_and_wait(&job.job, interrupt, stop);
  return !stop.load(std::memory_order_relaxed);
}

}  // namespace quorix
