#include "kernels/pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace quorix::pool {

namespace {

constexpr std::size_t kMaxThreads = 65535;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// Sanitizer builds: instrumented kernels need several times the stack of the shipped build.
constexpr std::size_t kStackSize = 32 * 1024 * 1024;
#else
constexpr std::size_t kStackSize = 2 * 1024 * 1024;
#endif
// Forks nest about log2(n) deep per steal; a full deque runs the fork inline instead.
constexpr std::size_t kDequeCapacity = 256;
// Fruitless searches, each followed by sched_yield, before an idle worker sleeps.
constexpr int kSearchesBeforeSleep = 64;

// A worker's jobs: the owner pushes and pops at the back, thieves take from the front.
struct Deque {
  std::mutex mutex;
  Job* jobs[kDequeCapacity];
  std::size_t front = 0;
  std::size_t back = 0;

  bool push(Job* job) {
    std::lock_guard lock(mutex);
    if (back - front == kDequeCapacity) return false;
    jobs[back++ % kDequeCapacity] = job;
    return true;
  }
  bool pop_if(Job* job) {
    std::lock_guard lock(mutex);
    if (back == front || jobs[(back - 1) % kDequeCapacity] != job) return false;
    --back;
    return true;
  }
  Job* pop() {
    std::lock_guard lock(mutex);
    if (back == front) return nullptr;
    return jobs[--back % kDequeCapacity];
  }
  Job* steal() {
    std::lock_guard lock(mutex);
    if (back == front) return nullptr;
    return jobs[front++ % kDequeCapacity];
  }
};

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t count) : count_(count), deques_(new Deque[count]) {}

  void start() {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0 ||
        pthread_attr_setstacksize(&attributes, kStackSize) != 0 ||
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) != 0) {
      fatal("The global thread pool has not been initialized.");
    }
    for (std::size_t i = 0; i < count_; ++i) {
      pthread_t thread;
      auto* start = new Start{this, i};
      if (pthread_create(&thread, &attributes, &WorkerPool::main, start) != 0) {
        fatal("The global thread pool has not been initialized.");
      }
    }
    pthread_attr_destroy(&attributes);
  }

  std::size_t count() const { return count_; }

  bool offer(Job* job) {
    if (!deques_[current_index].push(job)) return false;
    announce();
    return true;
  }

  bool reclaim(Job* job) { return deques_[current_index].pop_if(job); }

  void wait_until_done(Job* job) {
    while (!job->done.load(std::memory_order_acquire)) {
      if (Job* other = find_work(current_index)) {
        other->execute(other);
      } else {
        sched_yield();
      }
    }
  }

  void inject(Job* job) {
    {
      std::lock_guard lock(injected_mutex_);
      job->next = nullptr;
      if (injected_tail_ == nullptr) {
        injected_head_ = job;
      } else {
        injected_tail_->next = job;
      }
      injected_tail_ = job;
    }
    announce();
  }

 private:
  struct Start {
    WorkerPool* pool;
    std::size_t index;
  };

  static thread_local std::size_t current_index;

  static void* main(void* argument) {
    std::unique_ptr<Start> start(static_cast<Start*>(argument));
    current_index = start->index;
    start->pool->run(start->index);
    return nullptr;
  }

  [[noreturn]] void run(std::size_t me) {
    int searches = 0;
    for (;;) {
      const std::uint64_t epoch = epoch_.load();
      if (Job* job = find_work(me)) {
        job->execute(job);
        searches = 0;
        continue;
      }
      if (++searches < kSearchesBeforeSleep) {
        sched_yield();
        continue;
      }
      sleep(epoch);
      searches = 0;
    }
  }

  Job* find_work(std::size_t me) {
    if (Job* job = deques_[me].pop()) return job;
    if (Job* job = take_injected()) return job;
    for (std::size_t step = 1; step < count_; ++step) {
      if (Job* job = deques_[(me + step) % count_].steal()) return job;
    }
    return nullptr;
  }

  Job* take_injected() {
    std::lock_guard lock(injected_mutex_);
    Job* job = injected_head_;
    if (job != nullptr) {
      injected_head_ = job->next;
      if (injected_head_ == nullptr) injected_tail_ = nullptr;
    }
    return job;
  }

  // New work bumps the epoch before looking for sleepers; a sleeper registers before checking
  // the epoch. With both sequentially consistent, one of them always sees the other.
  void announce() {
    epoch_.fetch_add(1);
    if (sleepers_.load() > 0) {
      std::lock_guard lock(sleep_mutex_);
      sleep_condition_.notify_all();
    }
  }

  void sleep(std::uint64_t epoch) {
    std::unique_lock lock(sleep_mutex_);
    sleepers_.fetch_add(1);
    while (epoch_.load() == epoch) sleep_condition_.wait(lock);
    sleepers_.fetch_sub(1);
  }

  const std::size_t count_;
  std::unique_ptr<Deque[]> deques_;
  std::mutex injected_mutex_;
  Job* injected_head_ = nullptr;
  Job* injected_tail_ = nullptr;
  std::atomic<std::uint64_t> epoch_{0};
  std::atomic<int> sleepers_{0};
  std::mutex sleep_mutex_;
  std::condition_variable sleep_condition_;
};

thread_local std::size_t WorkerPool::current_index = 0;

WorkerPool& worker_pool() {
  // Created once, also under concurrent first use, and never destroyed: the workers are detached.
  static WorkerPool* const pool = [] {
    auto* created = new WorkerPool(configured_thread_count());
    created->start();
    return created;
  }();
  return *pool;
}

// Completion latch of a job injected from outside the pool.
struct Latch {
  std::mutex mutex;
  std::condition_variable condition;
  bool set = false;
};

struct InjectedJob {
  Job job{&run};
  Job* inner;
  Latch latch;

  static void run(Job* base) {
    auto* self = reinterpret_cast<InjectedJob*>(base);
    self->inner->execute(self->inner);
    std::lock_guard lock(self->latch.mutex);
    self->latch.set = true;
    self->latch.condition.notify_one();
  }
};

}  // namespace

std::size_t thread_count() { return worker_pool().count(); }

bool offer(Job* job) { return worker_pool().offer(job); }

bool reclaim(Job* job) { return worker_pool().reclaim(job); }

void wait_until_done(Job* job) { worker_pool().wait_until_done(job); }

void inject_and_wait(Job* job) {
  InjectedJob injected;
  injected.inner = job;
  worker_pool().inject(&injected.job);
  std::unique_lock lock(injected.latch.mutex);
  injected.latch.condition.wait(lock, [&] { return injected.latch.set; });
}

std::optional<unsigned long long> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  if (*text == '+') ++text;
  if (*text == '\0') return std::nullopt;
  unsigned long long value = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    const auto digit = static_cast<unsigned long long>(*text - '0');
    if (value > (~0ULL - digit) / 10) return std::nullopt;  // overflows 64 bits
    value = value * 10 + digit;
  }
  return value;
}

std::size_t configured_thread_count() {
  std::size_t count = 0;
  if (auto threads = parse_count(std::getenv("RAYON_NUM_THREADS"))) {
    count = static_cast<std::size_t>(std::min<unsigned long long>(*threads, kMaxThreads));
  } else if (auto cpus = parse_count(std::getenv("RAYON_RS_NUM_CPUS"))) {
    count = static_cast<std::size_t>(std::min<unsigned long long>(*cpus, kMaxThreads));
  }
  if (count == 0) {
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    count = online > 0 ? static_cast<std::size_t>(online) : 1;
  }
  return std::min(count, kMaxThreads);
}

void fatal(const char* message) {
  std::fprintf(stderr, "quorix: %s\n", message);
  std::abort();
}

}  // namespace quorix::pool
