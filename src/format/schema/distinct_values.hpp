// The distinct byte strings of one column, in order of first appearance,
// with how often each occurs; holds at most kLimit of them.
//
// Memory: a fixed open-addressing table of 512 slots (at most half full)
// and the views of the values held; nothing is copied. Call add() once per
// value, in column order.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "kvn/bytes.hpp"

namespace kelvane::format::schema {

class DistinctValues {
 public:
  static constexpr std::size_t kLimit = 256;
  static constexpr std::size_t kFull = static_cast<std::size_t>(-1);

  // Counts `value` and returns its index in order of first appearance, or
  // kFull (nothing counted) when it is new and kLimit values are held.
  std::size_t add(kvn::ByteSpan value) {
    const std::string_view text(reinterpret_cast<const char*>(value.data()), value.size());
    const std::size_t hash = std::hash<std::string_view>{}(text);
    for (std::size_t slot = hash & kMask;; slot = (slot + 1) & kMask) {
      const std::uint16_t entry = slots_[slot];
      if (entry == 0) {
        if (values_.size() == kLimit) return kFull;
        values_.push_back(value);
        hashes_.push_back(hash);
        counts_.push_back(1);
        slots_[slot] = static_cast<std::uint16_t>(values_.size());
        return values_.size() - 1;
      }
      const std::size_t index = entry - 1u;
      const kvn::ByteSpan held = values_[index];
      if (hashes_[index] == hash && held.size() == value.size() &&
          (value.empty() || std::memcmp(held.data(), value.data(), value.size()) == 0)) {
        ++counts_[index];
        return index;
      }
    }
  }

  std::size_t size() const noexcept { return values_.size(); }
  kvn::ByteSpan value(std::size_t index) const noexcept { return values_[index]; }
  std::uint64_t count(std::size_t index) const noexcept { return counts_[index]; }

 private:
  static constexpr std::size_t kSlots = 2 * kLimit;
  static constexpr std::size_t kMask = kSlots - 1;

  std::array<std::uint16_t, kSlots> slots_{};  // index + 1, or 0 when free
  std::vector<kvn::ByteSpan> values_;
  std::vector<std::size_t> hashes_;
  std::vector<std::uint64_t> counts_;
};

}  // namespace kelvane::format::schema
