// The two sinks of a reverse step that runs its walk twice: CountingSink
// adds up the bytes the walk would write and notes when they pass the
// step's budget; ExactSink then writes them into an output reserved at that
// exact size. Sharing one walk keeps the two passes from drifting apart.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format {

class CountingSink {
 public:
  explicit CountingSink(std::uint64_t budget) noexcept : budget_(budget) {}
  void put(kvn::ByteSpan bytes) noexcept { add(bytes.size()); }
  void put(std::uint8_t) noexcept { add(1); }
  // True once the bytes passed the budget; the walk may stop there.
  bool exceeded() const noexcept { return exceeded_; }
  std::uint64_t size() const noexcept { return size_; }

 private:
  void add(std::uint64_t n) noexcept {
    if (n > budget_ - size_) {
      exceeded_ = true;
    } else {
      size_ += n;
    }
  }
  std::uint64_t budget_;
  std::uint64_t size_ = 0;
  bool exceeded_ = false;
};

// Writes through a pointer into room the counting pass measured.
class ExactSink {
 public:
  static constexpr std::size_t kShortCopy = 8;

  explicit ExactSink(std::uint8_t* out) noexcept : w_(out) {}
  void put(kvn::ByteSpan bytes) noexcept {
    const std::size_t n = bytes.size();
    std::uint8_t* const w = w_;  // a local: the bytes written may alias the member
    if (n <= kShortCopy) {
      // Values and pieces are mostly short: a call to memcpy would cost
      // more than the copy.
      for (std::size_t i = 0; i < n; ++i) w[i] = bytes[i];
    } else {
      std::memcpy(w, bytes.data(), n);
    }
    w_ = w + n;
  }
  void put(std::uint8_t byte) noexcept { *w_++ = byte; }
  bool exceeded() const noexcept { return false; }

 private:
  std::uint8_t* w_;
};

// Runs `walk(sink)` once to measure and once to write. Gives nothing when
// the output would pass the budget's room: its own bound, or what the
// chain has left (which then ends the chain). The chain is charged at
// least `least`, what the output of a real text would hold at the least
// (a walk whose cost is in its values more than its bytes names it).
template <class Walk>
std::optional<kvn::Bytes> write_within_budget(Budget budget, Walk&& walk, std::uint64_t least = 0) {
  if (least > budget.room()) {
    budget.overran();
    return std::nullopt;
  }
  CountingSink counter(budget.room());
  walk(counter);
  if (counter.exceeded()) {
    budget.overran();
    return std::nullopt;
  }
  if (!budget.take(std::max(counter.size(), least))) return std::nullopt;
  kvn::Bytes out(static_cast<std::size_t>(counter.size()));
  ExactSink writer(out.data());
  walk(writer);
  return out;
}

}  // namespace kelvane::format
