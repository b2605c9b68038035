// The process-wide pool of worker threads that runs the "fast" race.
//
// Created on first use and never torn down. Its size comes from
// RAYON_NUM_THREADS (a positive decimal integer; 0 means the CPU count), else
// RAYON_RS_NUM_CPUS (a positive decimal integer), else the CPUs available to
// the process; at most 255 workers. A child process made by fork() gets a
// fresh pool on its first use.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <utility>

namespace kelvane::codec {

// Pool size from the two environment values (null when unset) and the CPU
// count available to the process.
std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t available_cpus) noexcept;

class WorkerPool;

// Tasks spawned in a scope may run on any worker; the scope returns only when
// every one of them has finished. A task that throws is counted as finished;
// its exception is dropped.
class Scope {
 public:
  void spawn(std::function<void()> task);

 private:
  friend class WorkerPool;
  explicit Scope(WorkerPool& pool) : pool_(pool) {}
  WorkerPool& pool_;
  struct State;
  State* state_ = nullptr;
};

class WorkerPool {
 public:
  // The process-wide pool, created on first use.
  static WorkerPool& global();

  std::size_t size() const noexcept;

  // Runs `body(scope)`, then waits until every task it spawned has finished.
  void scope(const std::function<void(Scope&)>& body);

  // Runs `a` on the calling thread while `b` is offered to the workers (the
  // calling thread runs `b` itself if no worker has taken it); both have
  // finished when this returns. A closure that throws leaves its result empty.
  template <class A, class B>
  auto join(A&& a, B&& b) -> std::pair<std::optional<decltype(a())>, std::optional<decltype(b())>>;
};

}  // namespace kelvane::codec
