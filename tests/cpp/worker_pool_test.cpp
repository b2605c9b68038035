// The process-wide worker pool: sizing, scopes, joins, nesting, fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "codec/worker_pool.hpp"

namespace codec = kelvane::codec;
using codec::WorkerPool;

TEST(PoolSize, FromEnvironment) {
  struct Case {
    const char* num_threads;
    const char* rs_num_cpus;
    std::size_t cpus;
    std::size_t expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, 6, 6},   // unset: the CPU count
      {nullptr, nullptr, 0, 1},   // never fewer than one
      {nullptr, nullptr, 400, 255},
      {"0", nullptr, 6, 6},       // 0 means the CPU count
      {"0", "3", 6, 6},           // ... and is not a fall-through
      {"3", nullptr, 6, 3},
      {"3", "5", 6, 3},
      {"999", nullptr, 6, 255},
      {"99999999999999999999999", nullptr, 6, 255},
      {"abc", nullptr, 6, 6},
      {"-2", nullptr, 6, 6},
      {" 4", nullptr, 6, 6},
      {"4x", nullptr, 6, 6},
      {"", nullptr, 6, 6},
      {"abc", "4", 6, 4},         // a bad first value falls through
      {"4x", "2", 6, 2},
      {nullptr, "5", 6, 5},
      {nullptr, "0", 6, 6},       // 0 is not positive here
      {nullptr, "300", 6, 255},
      {nullptr, "x", 6, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.num_threads ? c.num_threads : "(unset)") + " / " +
                 (c.rs_num_cpus ? c.rs_num_cpus : "(unset)"));
    EXPECT_EQ(codec::pool_size_from_env(c.num_threads, c.rs_num_cpus, c.cpus), c.expected);
  }
}

TEST(PoolSize, GlobalPoolHasWorkers) {
  const std::size_t n = WorkerPool::global().size();
  EXPECT_GE(n, 1u);
  EXPECT_LE(n, codec::MAX_POOL_SIZE);
  EXPECT_EQ(&WorkerPool::global(), &WorkerPool::global());
}

TEST(Scope, RunsEveryTaskBeforeReturning) {
  std::vector<int> done(64, 0);
  WorkerPool::global().scope([&](codec::Scope& s) {
    for (std::size_t i = 0; i < done.size(); ++i) {
      s.spawn([&done, i] {
        std::this_thread::sleep_for(std::chrono::microseconds(200 * (i % 4)));
        done[i] = 1;
      });
    }
  });
  for (std::size_t i = 0; i < done.size(); ++i) EXPECT_EQ(done[i], 1) << i;
}

TEST(Scope, ThrowingTasksCountAsFinished) {
  std::atomic<int> ok{0};
  WorkerPool::global().scope([&](codec::Scope& s) {
    for (int i = 0; i < 30; ++i) {
      s.spawn([&ok, i] {
        if (i % 3 == 0) throw std::runtime_error("failed candidate");
        if (i % 3 == 1) throw 42;
        ++ok;
      });
    }
  });
  EXPECT_EQ(ok.load(), 10);

  // A body that throws still waits for what it spawned before the error leaves.
  std::atomic<int> finished{0};
  EXPECT_THROW(WorkerPool::global().scope([&](codec::Scope& s) {
    for (int i = 0; i < 8; ++i) {
      s.spawn([&finished] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++finished;
      });
    }
    throw std::runtime_error("body failed");
  }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 8);
}

// More outer tasks than workers, each blocking on its own inner scope and
// join: only works if waiting threads run their own queued work.
TEST(Scope, NestedScopesAndJoinsInsideTasksDoNotDeadlock) {
  WorkerPool& pool = WorkerPool::global();
  const std::size_t outer = 4 * pool.size() + 1;
  std::vector<int> sums(outer, 0);
  pool.scope([&](codec::Scope& s) {
    for (std::size_t i = 0; i < outer; ++i) {
      s.spawn([&pool, &sums, i] {
        std::atomic<int> inner{0};
        pool.scope([&](codec::Scope& t) {
          for (int k = 0; k < 5; ++k) t.spawn([&inner] { ++inner; });
          // A task may also spawn into its own scope.
          t.spawn([&inner, &t] { t.spawn([&inner] { inner += 10; }); });
        });
        auto [a, b] = pool.join([] { return 100; }, [] { return 1000; });
        sums[i] = inner.load() + a.value_or(0) + b.value_or(0);
      });
    }
  });
  for (std::size_t i = 0; i < outer; ++i) EXPECT_EQ(sums[i], 1115) << i;
}

TEST(Scope, ConcurrentCallersEachGetTheirOwnScope) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::vector<long> totals(kThreads, 0);
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&totals, t] {
      for (int r = 0; r < kRounds; ++r) {
        std::atomic<long> sum{0};
        WorkerPool::global().scope([&](codec::Scope& s) {
          for (int k = 1; k <= 6; ++k) s.spawn([&sum, k, t] { sum += k * (t + 1); });
        });
        totals[t] += sum.load();  // complete as soon as the scope returns
      }
    });
  }
  for (auto& c : callers) c.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(totals[t], 21L * (t + 1) * kRounds) << t;
}

TEST(Join, HandsBackBothResultsOrEmptyForAThrow) {
  WorkerPool& pool = WorkerPool::global();
  auto both = pool.join([] { return std::string(1000, 'a'); }, [] { return 7; });
  ASSERT_TRUE(both.first && both.second);
  EXPECT_EQ(both.first->size(), 1000u);
  EXPECT_EQ(*both.second, 7);

  auto a_fails = pool.join([]() -> int { throw std::runtime_error("a"); }, [] { return 2; });
  EXPECT_FALSE(a_fails.first);
  EXPECT_EQ(a_fails.second.value_or(0), 2);

  auto b_fails = pool.join([] { return 1; }, []() -> int { throw std::bad_alloc(); });
  EXPECT_EQ(b_fails.first.value_or(0), 1);
  EXPECT_FALSE(b_fails.second);
}

// A child forked while the parent's pool is busy gets a fresh, working pool,
// sized from the environment it sees then.
TEST(Fork, ChildBuildsAFreshPool) {
  WorkerPool& parent_pool = WorkerPool::global();
  std::atomic<bool> release{false};
  std::thread busy([&] {
    parent_pool.scope([&](codec::Scope& s) {
      for (std::size_t i = 0; i < parent_pool.size() + 2; ++i) {
        s.spawn([&release] {
          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
      }
    });
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));

  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    alarm(30);  // a hang fails the test instead of stalling it
    setenv("RAYON_NUM_THREADS", "3", 1);
    WorkerPool& pool = WorkerPool::global();
    int status = 0;
    if (&pool == &parent_pool) status |= 1;
    if (pool.size() != 3) status |= 2;
    std::atomic<int> ran{0};
    pool.scope([&](codec::Scope& s) {
      for (int i = 0; i < 10; ++i) s.spawn([&ran] { ++ran; });
    });
    if (ran.load() != 10) status |= 4;
    auto [a, b] = pool.join([] { return 1; }, [] { return 2; });
    if (a.value_or(0) + b.value_or(0) != 3) status |= 8;
    _exit(status);
  }

  release = true;
  busy.join();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
