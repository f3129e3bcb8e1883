#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kernels/pool/parallel_map.hpp"
#include "kernels/pool/pool.hpp"

namespace quorix {
namespace {

struct EnvCase {
  const char* threads;  // RAYON_NUM_THREADS, nullptr for unset
  const char* cpus;     // RAYON_RS_NUM_CPUS, nullptr for unset
  long expected;        // 0 for the processor count
};

// Sets a variable (or unsets it, for nullptr) for one scope, then puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_(getenv(name) != nullptr) {
    if (had_) old_ = getenv(name);
    put(value);
  }
  ~ScopedEnv() { put(had_ ? old_.c_str() : nullptr); }

 private:
  void put(const char* value) { value ? setenv(name_, value, 1) : unsetenv(name_); }
  const char* name_;
  bool had_;
  std::string old_;
};

class ThreadCountTest : public testing::TestWithParam<EnvCase> {};

TEST_P(ThreadCountTest, FollowsTheEnvironment) {
  ScopedEnv threads("RAYON_NUM_THREADS", GetParam().threads),
      cpus("RAYON_RS_NUM_CPUS", GetParam().cpus);
  const long expected =
      GetParam().expected == 0 ? sysconf(_SC_NPROCESSORS_ONLN) : GetParam().expected;
  EXPECT_EQ(static_cast<long>(pool::configured_thread_count()), expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, ThreadCountTest,
                         testing::Values(EnvCase{"4", nullptr, 4}, EnvCase{"+4", nullptr, 4},
                                         EnvCase{"0", "3", 0}, EnvCase{"-4", "3", 3},
                                         EnvCase{"4 ", "3", 3}, EnvCase{"four", "3", 3},
                                         EnvCase{"", "3", 3}, EnvCase{"100000", nullptr, 65535},
                                         EnvCase{"99999999999999999999", "5", 5},
                                         EnvCase{nullptr, nullptr, 0}, EnvCase{nullptr, "0", 0},
                                         EnvCase{nullptr, "+7", 7}, EnvCase{nullptr, "x", 0},
                                         EnvCase{"+", "2", 2}, EnvCase{"\xff", "2", 2}));

TEST(ParseCount, AcceptsDigitsWithOptionalPlus) {
  EXPECT_EQ(pool::parse_count("18446744073709551615"), 18446744073709551615ULL);
  EXPECT_EQ(pool::parse_count("18446744073709551616"), std::nullopt);
  EXPECT_EQ(pool::parse_count("+0"), 0ULL);
  EXPECT_EQ(pool::parse_count(" 1"), std::nullopt);
  EXPECT_EQ(pool::parse_count("++1"), std::nullopt);
  EXPECT_EQ(pool::parse_count(nullptr), std::nullopt);
}

TEST(Pool, HasTheConfiguredSize) {
  const char* expected = getenv("QUORIX_EXPECTED_THREADS");
  if (expected == nullptr) GTEST_SKIP() << "run through ctest";
  EXPECT_EQ(pool::thread_count(), std::stoul(expected));
}

double element(std::size_t i) {
  return static_cast<double>(i) * 0.5 + 1.0;
}

// out[i] = element(i) for every i in [0, n), on the pool.
template <class Element>
void map(std::size_t n, const Element& element, double* out) {
  parallel_ranges(n, [&](std::size_t start, std::size_t end) {
    for (std::size_t i = start; i < end; ++i) out[i] = element(i);
  });
}

TEST(ParallelMap, WritesEverySlotOnce) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 1023u, 1024u, 65537u, 1000000u}) {
    std::vector<double> out(n, -1.0);
    std::vector<std::atomic<int>> visits(n);
    auto counted = [&](std::size_t i) {
      visits[i].fetch_add(1, std::memory_order_relaxed);
      return element(i);
    };
    map(n, counted, out.data());
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_EQ(out[i], element(i)) << i;
      ASSERT_EQ(visits[i].load(), 1) << i;
    }
  }
}

TEST(ParallelMap, UsesSeveralWorkersWhenThereAreSeveral) {
  const std::size_t n = 1 << 18;
  std::vector<std::thread::id> owner(n);
  std::vector<double> out(n);
  auto record = [&](std::size_t i) {
    owner[i] = std::this_thread::get_id();
    // Enough work per element that the idle workers wake up and steal.
    double x = static_cast<double>(i);
    for (int j = 0; j < 200; ++j) x = x * 0.999 + 1.0;
    return x;
  };
  map(n, record, out.data());
  std::vector<std::thread::id> distinct;
  for (const auto& id : owner) {
    if (std::find(distinct.begin(), distinct.end(), id) == distinct.end()) distinct.push_back(id);
  }
  // One thread: the calling thread computes every element; several: only the workers do.
  const bool alone = pool::thread_count() == 1;
  EXPECT_EQ(std::count(distinct.begin(), distinct.end(), std::this_thread::get_id()),
            alone ? 1 : 0);
  EXPECT_EQ(distinct.size() >= 2u, !alone);
}

TEST(ParallelMap, StopsWhenInterruptedAndLimitsItsThreads) {
  const std::size_t n = 1 << 22;
  std::vector<double> out(n, -1.0);
  std::atomic<int> asked{0};
  const pool::Interrupt interrupt{
      [](void* count) { return static_cast<std::atomic<int>*>(count)->fetch_add(1) >= 1; }, &asked};
  auto slow = [&](std::size_t start, std::size_t end) {
    for (std::size_t i = start; i < end; ++i) {
      double x = static_cast<double>(i);
      for (int j = 0; j < 400; ++j) x = x * 0.999 + 1.0;
      out[i] = x;
    }
  };
  for (std::size_t limit : {std::size_t{1}, std::size_t{0}}) {
    pool::set_thread_limit(limit);
    asked = 0;
    EXPECT_FALSE(parallel_ranges(n, slow, interrupt));
    EXPECT_EQ(asked.load(), 2);
    EXPECT_GT(std::count(out.begin(), out.end(), -1.0), 0) << "stopped before the end";
    std::fill(out.begin(), out.end(), -1.0);
  }
  pool::set_thread_limit(1);
  EXPECT_EQ(pool::thread_count(), 1u);
  pool::set_thread_limit(0);
}

TEST(ParallelMap, ConcurrentCallersEachGetTheirOwnResult) {
  constexpr int kCallers = 8;
  std::vector<std::thread> callers;
  std::atomic<int> failures{0};
  for (int c = 0; c < kCallers; ++c) {
    callers.emplace_back([c, &failures] {
      for (int round = 0; round < 20; ++round) {
        const std::size_t n = 5000 + 997 * static_cast<std::size_t>(c + round);
        std::vector<double> out(n);
        auto scaled = [c](std::size_t i) { return element(i) * (c + 1); };
        map(n, scaled, out.data());
        for (std::size_t i = 0; i < n; ++i) {
          if (out[i] != element(i) * (c + 1)) ++failures;
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures.load(), 0);
}

TEST(SplitRule, HalvesTheBudgetAndRenewsItWhenStolen) {
  using detail::decide_split;
  EXPECT_FALSE(decide_split(1, 8, true, 8).split);
  EXPECT_FALSE(decide_split(0, 8, false, 8).split);
  EXPECT_FALSE(decide_split(100, 0, false, 8).split);
  EXPECT_EQ(decide_split(100, 8, false, 8).budget, 4u);
  EXPECT_EQ(decide_split(100, 2, true, 8).budget, 8u);
  EXPECT_EQ(decide_split(100, 32, true, 8).budget, 16u);
  EXPECT_TRUE(decide_split(2, 1, false, 8).split);
}

}  // namespace
}  // namespace quorix
