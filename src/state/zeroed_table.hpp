// ZeroedTable: an owned, zero-initialised array of trivial values. Tables of
// 1 MiB and more are mapped directly from the system as fresh zero pages, so
// the parts a call never touches cost neither memory nor time, whatever the
// heap holds from earlier calls, and are handed back whole when the table
// goes. Smaller ones come from calloc. Failure is a CodecError, never an
// exception.
//
// HugePageScope: while one is alive on a thread with `enable` set, the tables
// that thread maps are offered transparent huge pages. A coding loop opens
// one for a long input, whose random accesses touch nearly every page of the
// engine anyway: 2 MiB pages then spare most of the TLB misses and page
// faults. Short inputs keep 4 KiB pages, so what they leave untouched stays
// free. The hint changes no value a table holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <span>
#include <type_traits>
#include <utility>

#include <sys/mman.h>

#include "kvn/error.hpp"

namespace kelvane::state {

class HugePageScope {
 public:
  explicit HugePageScope(bool enable) noexcept : previous_(enabled_) { enabled_ = enable; }
  HugePageScope(const HugePageScope&) = delete;
  HugePageScope& operator=(const HugePageScope&) = delete;
  ~HugePageScope() { enabled_ = previous_; }

  static bool enabled() noexcept { return enabled_; }

 private:
  static inline thread_local bool enabled_ = false;
  bool previous_;
};

template <class T>
class ZeroedTable {
  static_assert(std::is_trivially_default_constructible_v<T> &&
                    std::is_trivially_destructible_v<T> && std::is_trivially_copyable_v<T>,
                "ZeroedTable holds plain values whose all-zero bytes are a valid value");

 public:
  ZeroedTable() = default;
  ZeroedTable(const ZeroedTable&) = delete;
  ZeroedTable& operator=(const ZeroedTable&) = delete;
  ZeroedTable(ZeroedTable&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ZeroedTable& operator=(ZeroedTable&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  ~ZeroedTable() { release(); }

  // Byte size from which a table is mapped rather than taken from the heap.
  static constexpr std::size_t MAP_THRESHOLD = std::size_t{1} << 20;

  // `count` zeroed elements; a count of 0 gives an empty table. Fails with
  // kind Other and kvn::kOutOfMemory when the memory cannot be had.
  static kvn::Result<ZeroedTable> allocate(std::size_t count) {
    ZeroedTable table;
    if (count == 0) return table;
    KVN_RETURN_ERROR_IF(count > std::numeric_limits<std::size_t>::max() / sizeof(T), Other,
                        kvn::kOutOfMemory);
    const std::size_t bytes = count * sizeof(T);
    void* memory = nullptr;
    if (bytes >= MAP_THRESHOLD) {
      memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      KVN_RETURN_ERROR_IF(memory == MAP_FAILED, Other, kvn::kOutOfMemory);
      // Only a hint: where huge pages are not to be had, nothing changes.
      if (HugePageScope::enabled()) madvise(memory, bytes, MADV_HUGEPAGE);
    } else {
      memory = std::calloc(count, sizeof(T));
      KVN_RETURN_ERROR_IF(memory == nullptr, Other, kvn::kOutOfMemory);
    }
    table.data_ = static_cast<T*>(memory);
    table.size_ = count;
    return table;
  }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }

  std::span<T> span() noexcept { return {data_, size_}; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

 private:
  void release() noexcept {
    if (data_ == nullptr) return;
    if (size_ * sizeof(T) >= MAP_THRESHOLD) {
      munmap(data_, size_ * sizeof(T));
    } else {
      std::free(data_);
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kelvane::state
