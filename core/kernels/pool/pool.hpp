// The process-wide work-stealing pool and its fork-join primitive.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "kernels/simd/api.hpp"

namespace quorix::pool {

// A unit of work that lives on the stack of the thread that created it.
struct Job {
  void (*execute)(Job*);
  std::atomic<bool> done{false};
  Job* next = nullptr;  // link in the shared injection queue
};

// Asked every few milliseconds, by a caller waiting for its call to finish, whether to stop it
// (a signal to handle, say).
struct Interrupt {
  bool (*requested)(void* context) = nullptr;
  void* context = nullptr;
};

// Milliseconds between two questions to an Interrupt.
inline constexpr int kPollMilliseconds = 10;

// The threads a call may use: the pool's workers that could be started, at most the limit set at
// run time, and at least 1 (the calling thread alone). Creates the pool on first use when the limit
// allows more than one thread.
QUORIX_API std::size_t thread_count();

// Caps the threads a call may use; 0 lifts the cap. The pool itself is created once.
QUORIX_API void set_thread_limit(std::size_t limit);
// What thread_count() gives, or would give, without creating the pool.
QUORIX_API std::size_t thread_limit();

// Worker side of a fork: offer a job for stealing, false when it must run inline instead.
QUORIX_API bool offer(Job* job);
// Takes the job back if no other thread has taken it.
QUORIX_API bool reclaim(Job* job);
// Runs other work until the job is done.
QUORIX_API void wait_until_done(Job* job);
// Caller side: queues the job for the workers and blocks until it has run. While it waits it asks
// `interrupt` and, when that asks to stop, sets `stop` (which the job's ranges read) and waits for
// the job to wind down.
QUORIX_API void inject_and_wait(Job* job, const Interrupt& interrupt, std::atomic<bool>& stop);

// Thread count from the environment: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the
// number of online processors; capped at 65535.
QUORIX_API std::size_t configured_thread_count();

// Parses an unsigned decimal integer with an optional leading '+'.
QUORIX_API std::optional<unsigned long long> parse_count(const char* text);

template <class F>
struct StackJob {
  Job job{&run};
  F* function;

  explicit StackJob(F* f) : function(f) {}

  static void run(Job* base) {
    // job is the first member, so the cast recovers the StackJob.
    auto* self = reinterpret_cast<StackJob*>(base);
    (*self->function)(true);
    self->job.done.store(true, std::memory_order_release);
  }
};

// Runs left here and offers right to other workers; each receives whether it counts as stolen.
// In the fork-join injected from outside both halves count as stolen.
template <class Left, class Right>
void join(Left&& left, Right&& right, bool injected) {
  StackJob<std::remove_reference_t<Right>> right_job(&right);
  const bool offered = offer(&right_job.job);
  left(injected);
  if (!offered || reclaim(&right_job.job)) {
    right(injected);
  } else {
    wait_until_done(&right_job.job);
  }
}

}  // namespace quorix::pool

// The thread limit by C symbols, for tools that find thread pools among a process's shared
// libraries and set their limits (threadpoolctl).
extern "C" QUORIX_API int quorix_get_num_threads(void);
extern "C" QUORIX_API void quorix_set_num_threads(int threads);
