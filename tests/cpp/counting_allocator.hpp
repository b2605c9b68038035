// Counts every C++ allocation of a test program, so that a test measures
// the peak of what a call holds instead of estimating it. Each block carries
// its size in a 16-byte prefix (keeping the alignment of operator new).
//
// It replaces the global operator new and delete: include it from exactly
// one source file of a program, and keep such tests in programs of their
// own.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace counting_allocator {

inline std::atomic<std::size_t> g_live{0};
inline std::atomic<std::size_t> g_peak{0};
inline std::atomic<std::size_t> g_total{0};  // every byte ever allocated

// Not inlined: seen through, the 16-byte offset misleads GCC's bounds
// warnings about the blocks it returns.
[[gnu::noinline]] inline void* counted_new(std::size_t size) {
  void* block = std::malloc(size + 16);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  g_total.fetch_add(size);
  const std::size_t live = g_live.fetch_add(size) + size;
  std::size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(block) + 16;
}

inline void counted_delete(void* p) noexcept {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - 16;
  g_live.fetch_sub(*static_cast<std::size_t*>(block));
  std::free(block);
}

// Peak bytes held above what was live when `run` started.
template <class F>
std::size_t peak_of(F&& run) {
  const std::size_t base = g_live.load();
  g_peak.store(base);
  run();
  return g_peak.load() - base;
}

// What `run` held at its peak, and every byte it allocated: a buffer is
// allocated before it is written, so the second bounds what it wrote.
struct Usage {
  std::size_t peak = 0;
  std::size_t allocated = 0;
};
template <class F>
Usage usage_of(F&& run) {
  const std::size_t total = g_total.load();
  Usage usage;
  usage.peak = peak_of(run);
  usage.allocated = g_total.load() - total;
  return usage;
}

}  // namespace counting_allocator

void* operator new(std::size_t size) { return counting_allocator::counted_new(size); }
void* operator new[](std::size_t size) { return counting_allocator::counted_new(size); }
void operator delete(void* p) noexcept { counting_allocator::counted_delete(p); }
void operator delete[](void* p) noexcept { counting_allocator::counted_delete(p); }
void operator delete(void* p, std::size_t) noexcept { counting_allocator::counted_delete(p); }
void operator delete[](void* p, std::size_t) noexcept { counting_allocator::counted_delete(p); }
// The library's temporary buffers (std::stable_sort's) come from the nothrow
// forms: they must be counted and freed the same way.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counting_allocator::counted_new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { counting_allocator::counted_delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  counting_allocator::counted_delete(p);
}
