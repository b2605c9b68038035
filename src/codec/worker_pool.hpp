// The process-wide pool of worker threads that runs the "fast" race.
//
// Created on first use and never torn down: the workers are detached and the
// pool object is never deleted, so nothing a worker touches is destroyed by
// static destructors at exit. Its size comes from RAYON_NUM_THREADS (a
// positive decimal integer; 0 means the CPU count), else RAYON_RS_NUM_CPUS (a
// positive decimal integer), else the CPUs available to the process; at least
// 1 and at most 255 workers. A child process made by fork() abandons the
// parent's pool (whose threads do not exist in the child) and builds a fresh
// one on its first use.
//
// Work is handed out from one queue guarded by one mutex. A thread that waits
// for a scope (the caller, or a worker that opened a nested scope) runs the
// still-queued tasks of that scope itself, so waiting never deadlocks, even on
// a pool with a single worker.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace kelvane::codec {

// The largest pool the environment can ask for.
inline constexpr std::size_t MAX_POOL_SIZE = 255;

// Pool size from the two environment values (null when unset) and the CPU
// count available to the process.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t available_cpus) noexcept;

// The number of CPUs this process may run on (at least 1).
std::size_t available_cpu_count() noexcept;

class WorkerPool;

// Tasks spawned in a scope may run on any worker; the scope returns only when
// every one of them has finished. A task that throws is counted as finished;
// its exception is dropped. A task may spawn further tasks into its own scope.
class Scope {
 public:
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  void spawn(std::function<void()> task);

 private:
  friend class WorkerPool;
  explicit Scope(WorkerPool& pool) noexcept : pool_(pool) {}
  WorkerPool& pool_;
  std::size_t pending_ = 0;  // spawned and not yet finished; guarded by the pool's mutex
};

class WorkerPool {
 public:
  // The process-wide pool, created on first use.
  static WorkerPool& global();

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Number of worker threads running.
  std::size_t size() const noexcept;

  // Runs `body(scope)` on the calling thread, then waits until every task it
  // spawned has finished, running queued tasks of this scope meanwhile. If the
  // body throws, the spawned tasks are still waited for before the exception
  // leaves.
  void scope(const std::function<void(Scope&)>& body);

  // Runs `a` on the calling thread while `b` is offered to the workers (the
  // calling thread runs `b` itself if no worker has taken it); both have
  // finished when this returns. A closure that throws leaves its result empty.
  template <class A, class B>
  auto join(A&& a, B&& b)
      -> std::pair<std::optional<std::invoke_result_t<A&>>, std::optional<std::invoke_result_t<B&>>>;

  struct Impl;

 private:
  friend class Scope;
  friend struct PoolRegistry;
  explicit WorkerPool(std::size_t workers);
  ~WorkerPool() = delete;  // never destroyed: detached workers may still use it

  Impl* impl_;
};

template <class A, class B>
auto WorkerPool::join(A&& a, B&& b)
    -> std::pair<std::optional<std::invoke_result_t<A&>>, std::optional<std::invoke_result_t<B&>>> {
  using RA = std::invoke_result_t<A&>;
  using RB = std::invoke_result_t<B&>;
  static_assert(!std::is_void_v<RA> && !std::is_void_v<RB>, "join hands back both results");
  std::optional<RA> ra;
  std::optional<RB> rb;
  scope([&](Scope& s) {
    s.spawn([&] { rb.emplace(b()); });
    try {
      ra.emplace(a());
    } catch (...) {
      ra.reset();
    }
  });
  return {std::move(ra), std::move(rb)};
}

}  // namespace kelvane::codec
