// The worker pool: one job queue, one mutex, detached workers.
//
// Memory: the pool object, its queue and the workers' stacks; all are leaked
// on purpose at exit. Call order: scope() runs the body, whose spawn() calls
// append jobs; workers (and the waiting thread, for its own scope's jobs) pop
// them; each finished job lowers its scope's pending count, and the waiter
// returns when that count reaches zero.
#include "codec/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace kelvane::codec {

namespace {

// A positive decimal integer: digits only, no sign or blanks; values too big
// for the counter saturate (the caller caps them anyway). Zero is reported as
// zero; anything else that is not such an integer gives nullopt.
std::optional<std::size_t> parse_count(const char* text) noexcept {
  if (text == nullptr || *text == '\0') return std::nullopt;
  std::size_t value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return std::nullopt;
    const std::size_t digit = static_cast<std::size_t>(*p - '0');
    value = value > (MAX_POOL_SIZE * 10) ? value : value * 10 + digit;
  }
  return value;
}

std::size_t clamp_size(std::size_t n) noexcept {
  if (n < 1) return 1;
  return n > MAX_POOL_SIZE ? MAX_POOL_SIZE : n;
}

}  // namespace

std::size_t pool_size_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                               std::size_t available_cpus) noexcept {
  if (auto n = parse_count(rayon_num_threads)) {
    return clamp_size(*n == 0 ? available_cpus : *n);
  }
  if (auto n = parse_count(rayon_rs_num_cpus); n && *n > 0) return clamp_size(*n);
  return clamp_size(available_cpus);
}

std::size_t available_cpu_count() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<std::size_t>(n);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 1;
}

struct Job {
  std::function<void()> run;
  Scope* owner;
};

struct WorkerPool::Impl {
  std::mutex mutex;
  std::condition_variable work_ready;    // workers wait here for jobs
  std::condition_variable scope_update;  // scope waiters wait here
  std::deque<Job> queue;
  std::size_t waiters = 0;  // threads blocked on scope_update
  std::size_t workers = 0;
  WorkerPool* abandoned_before = nullptr;  // pools left behind by fork()

  // Runs one job outside the lock and accounts for it. Returns with the lock
  // held again.
  void run_job(Job& job, std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    try {
      job.run();
    } catch (...) {
      // A failed task counts as finished; its exception goes nowhere.
    }
    job.run = nullptr;  // drop the closure's captures before the scope may end
    lock.lock();
    if (--job.owner->pending_ == 0 && waiters > 0) scope_update.notify_all();
  }

  void worker_loop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work_ready.wait(lock, [this] { return !queue.empty(); });
      Job job = std::move(queue.front());
      queue.pop_front();
      run_job(job, lock);
    }
  }

  // Waits for `scope` to finish, running its queued jobs on this thread.
  void wait_for(Scope& scope) {
    std::unique_lock<std::mutex> lock(mutex);
    while (scope.pending_ > 0) {
      auto it = queue.begin();
      while (it != queue.end() && it->owner != &scope) ++it;
      if (it != queue.end()) {
        Job job = std::move(*it);
        queue.erase(it);
        run_job(job, lock);
        continue;
      }
      ++waiters;
      scope_update.wait(lock);
      --waiters;
    }
  }
};

// Creation lock and the current pool. All plain data that needs no
// destructor, so they stay usable however late a thread calls global(); the
// fork child handler resets them without touching the parent's lock state.
struct PoolRegistry {
  static inline pthread_mutex_t create_lock = PTHREAD_MUTEX_INITIALIZER;
  static inline WorkerPool* current = nullptr;    // guarded by create_lock
  static inline WorkerPool* abandoned = nullptr;  // keeps pools left by fork() reachable
  static inline bool atfork_registered = false;   // guarded by create_lock

  // In the child only the forking thread exists: the parent's workers are
  // gone and its locks may be held by threads that no longer run. Abandon
  // the old pool without locking anything; the next global() builds anew.
  static void on_fork_child() noexcept {
    if (current != nullptr) {
      current->impl_->abandoned_before = abandoned;
      abandoned = current;
    }
    current = nullptr;
    const pthread_mutex_t fresh = PTHREAD_MUTEX_INITIALIZER;
    create_lock = fresh;
  }

  static WorkerPool& get() {
    pthread_mutex_lock(&create_lock);
    if (current == nullptr) {
      if (!atfork_registered) {
        atfork_registered = pthread_atfork(nullptr, nullptr, on_fork_child) == 0;
      }
      const std::size_t size = pool_size_from_env(std::getenv("RAYON_NUM_THREADS"),
                                                  std::getenv("RAYON_RS_NUM_CPUS"),
                                                  available_cpu_count());
      try {
        current = new WorkerPool(size);
      } catch (...) {
        pthread_mutex_unlock(&create_lock);
        throw;
      }
    }
    WorkerPool* pool = current;
    pthread_mutex_unlock(&create_lock);
    return *pool;
  }
};

WorkerPool::WorkerPool(std::size_t workers) : impl_(new Impl) {
  for (std::size_t i = 0; i < workers; ++i) {
    try {
      std::thread worker([impl = impl_] { impl->worker_loop(); });
      char name[16];
      std::snprintf(name, sizeof(name), "kelvane-%u", static_cast<unsigned>(i % 1000));
      pthread_setname_np(worker.native_handle(), name);
      worker.detach();
      ++impl_->workers;
    } catch (const std::exception&) {
      // Out of threads: the pool runs with the workers it got. With none at
      // all, every scope still completes on its waiting thread.
      break;
    }
  }
}

WorkerPool& WorkerPool::global() { return PoolRegistry::get(); }

std::size_t WorkerPool::size() const noexcept { return impl_->workers; }

void WorkerPool::scope(const std::function<void(Scope&)>& body) {
  Scope scope(*this);
  std::exception_ptr failure;
  try {
    body(scope);
  } catch (...) {
    failure = std::current_exception();
  }
  impl_->wait_for(scope);
  if (failure) std::rethrow_exception(failure);
}

void Scope::spawn(std::function<void()> task) {
  WorkerPool::Impl& impl = *pool_.impl_;
  {
    std::unique_lock<std::mutex> lock(impl.mutex);
    ++pending_;
    Job job{std::move(task), this};
    try {
      impl.queue.push_back(std::move(job));  // strong guarantee: job is intact on failure
    } catch (...) {
      // No room to queue it: run it here instead.
      impl.run_job(job, lock);
      return;
    }
    if (impl.waiters > 0) impl.scope_update.notify_all();
  }
  impl.work_ready.notify_one();
}

}  // namespace kelvane::codec
