#include "kernels/pool/pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

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

// The limit set at run time on the threads a call may use; 0 for none.
std::atomic<std::size_t> run_time_limit{0};

class WorkerPool {
 public:
  explicit WorkerPool(std::size_t count) : count_(count), deques_(new Deque[count]) {}

  // Starts as many of the workers as the system allows: a worker that cannot be created leaves
  // the work to the others, or to the calling thread alone.
  void start() noexcept {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return;
    if (pthread_attr_setstacksize(&attributes, kStackSize) == 0 &&
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED) == 0) {
      for (std::size_t i = 0; i < count_; ++i) {
        auto* start = new (std::nothrow) Start{this, i};
        pthread_t thread;
        if (start == nullptr ||
            pthread_create(&thread, &attributes, &WorkerPool::main, start) != 0) {
          delete start;
          break;
        }
        running_.store(i + 1, std::memory_order_release);
      }
    }
    pthread_attr_destroy(&attributes);
  }

  std::size_t running() const { return running_.load(std::memory_order_acquire); }

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

  // Static TLS (initial-exec): a dynamic TLS block would be allocated lazily at a worker's first
  // access, and glibc aborts the process when that allocation fails.
  [[gnu::tls_model("initial-exec")]] static thread_local std::size_t current_index;

  static void* main(void* argument) {
    std::unique_ptr<Start> start(static_cast<Start*>(argument));
    pthread_setname_np(pthread_self(), "quorix-worker");
    current_index = start->index;
    start->pool->run(start->index);
    return nullptr;
  }

  [[noreturn]] void run(std::size_t me) {
    int searches = 0;
    for (;;) {
      const std::uint64_t epoch = epoch_.load();
      // Workers beyond the limit take no new work: they sleep until it is raised.
      const std::size_t limit = run_time_limit.load(std::memory_order_relaxed);
      Job* job = limit == 0 || me < limit ? find_work(me) : nullptr;
      if (job != nullptr) {
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
    const std::size_t running = this->running();
    for (std::size_t step = 1; step < running; ++step) {
      if (Job* job = deques_[(me + step) % running].steal()) return job;
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
  std::atomic<std::size_t> running_{0};
  std::mutex injected_mutex_;
  Job* injected_head_ = nullptr;
  Job* injected_tail_ = nullptr;
  std::atomic<std::uint64_t> epoch_{0};
  std::atomic<int> sleepers_{0};
  std::mutex sleep_mutex_;
  std::condition_variable sleep_condition_;
};

[[gnu::tls_model("initial-exec")]] thread_local std::size_t WorkerPool::current_index = 0;

// The process's pool, created on first use. A forked child has none of the parent's workers: the
// fork handlers below leave the child without a pool, so that its first call creates its own. The
// parent's pool is left behind in the child, never touched and never freed (its workers may have
// held its locks at the fork).
std::mutex creation_mutex;
std::atomic<WorkerPool*> created_pool{nullptr};
std::atomic<bool> creation_failed{false};

void lock_creation() {
  creation_mutex.lock();
}
void unlock_creation() {
  creation_mutex.unlock();
}
void forget_pool_in_child() {
  created_pool.store(nullptr, std::memory_order_relaxed);
  creation_failed.store(false, std::memory_order_relaxed);
  creation_mutex.unlock();
}

// The pool, or nullptr where it could not be allocated: the calling thread then works alone.
WorkerPool* worker_pool() noexcept {
  if (WorkerPool* pool = created_pool.load(std::memory_order_acquire)) return pool;
  if (creation_failed.load(std::memory_order_acquire)) return nullptr;
  static const bool handlers_installed =
      pthread_atfork(&lock_creation, &unlock_creation, &forget_pool_in_child) == 0;
  (void)handlers_installed;
  std::lock_guard lock(creation_mutex);
  if (WorkerPool* pool = created_pool.load(std::memory_order_acquire)) return pool;
  WorkerPool* pool = nullptr;
  try {
    pool = new WorkerPool(configured_thread_count());
  } catch (const std::bad_alloc&) {
    creation_failed.store(true, std::memory_order_release);
    return nullptr;
  }
  pool->start();
  created_pool.store(pool, std::memory_order_release);
  return pool;
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

std::size_t thread_count() {
  const std::size_t limit = run_time_limit.load(std::memory_order_relaxed);
  if (limit == 1) return 1;
  const WorkerPool* pool = worker_pool();
  const std::size_t running = pool == nullptr ? 0 : pool->running();
  return std::max<std::size_t>(1, limit == 0 ? running : std::min(limit, running));
}

void set_thread_limit(std::size_t limit) {
  run_time_limit.store(limit, std::memory_order_relaxed);
}

std::size_t thread_limit() {
  const std::size_t limit = run_time_limit.load(std::memory_order_relaxed);
  const WorkerPool* pool = created_pool.load(std::memory_order_acquire);
  const std::size_t available =
      pool == nullptr ? configured_thread_count() : std::max<std::size_t>(1, pool->running());
  return limit == 0 ? available : std::min(limit, available);
}

// Only workers of a pool that exists offer, reclaim and wait: they run inside an injected job.
bool offer(Job* job) {
  return created_pool.load(std::memory_order_relaxed)->offer(job);
}

bool reclaim(Job* job) {
  return created_pool.load(std::memory_order_relaxed)->reclaim(job);
}

void wait_until_done(Job* job) {
  created_pool.load(std::memory_order_relaxed)->wait_until_done(job);
}

void inject_and_wait(Job* job, const Interrupt& interrupt, std::atomic<bool>& stop) {
  InjectedJob injected;
  injected.inner = job;
  worker_pool()->inject(&injected.job);
  std::unique_lock lock(injected.latch.mutex);
  const auto slice = std::chrono::milliseconds(kPollMilliseconds);
  while (!injected.latch.condition.wait_for(lock, slice, [&] { return injected.latch.set; })) {
    if (interrupt.requested == nullptr || stop.load(std::memory_order_relaxed)) continue;
    lock.unlock();
    if (interrupt.requested(interrupt.context)) stop.store(true, std::memory_order_relaxed);
    lock.lock();
  }
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

}  // namespace quorix::pool

int quorix_get_num_threads(void) {
  return static_cast<int>(std::min<std::size_t>(quorix::pool::thread_limit(), INT_MAX));
}

void quorix_set_num_threads(int threads) {
  quorix::pool::set_thread_limit(threads > 0 ? static_cast<std::size_t>(threads) : 0);
}
