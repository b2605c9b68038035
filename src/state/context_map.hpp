// The adaptive maps that turn what a context model stored into a probability
// of a 1 bit (scale 4096, always 1..4095).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kvn/error.hpp"
#include "state/state_table.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::state {

// StateMap: maps a bit-history state to an adaptive probability.
// Memory: 256 entries of (p, n), 1 KiB; each model that stores states owns one.
// Input: the state s read from the model's slot for the current bit.
// Per bit: p(s) before the bit; update(s, bit) after it, with the same s.
// An entry starts at the state's p0 and moves toward the coded bit by
// 1/(n + 4), n counting the updates up to 192 (rate 1/196 from then on).
class StateMap {
 public:
  static constexpr std::uint16_t MAX_COUNT = 192;

  constexpr StateMap() noexcept {
    for (std::size_t s = 0; s < STATE_COUNT; ++s) {
      entries_[s] = {TABLE[s].p0, initial_count(static_cast<std::uint8_t>(s))};
    }
  }

  std::uint32_t p(std::uint8_t s) const noexcept { return entries_[s].p; }
  std::uint16_t count(std::uint8_t s) const noexcept { return entries_[s].n; }

  void update(std::uint8_t s, std::uint32_t bit) noexcept {
    Entry& e = entries_[s];
    const std::int32_t target = bit ? 4095 : 0;
    std::int32_t p = e.p;
    p += divide_by_count(target - p, e.n);
    if (p < 1) p = 1;
    if (p > 4095) p = 4095;
    e.p = static_cast<std::uint16_t>(p);
    if (e.n < MAX_COUNT) ++e.n;
  }

  // x / (n + 4), truncating toward zero, for |x| <= 4095 and n <= 192. A
  // multiplication by a rounded-up reciprocal replaces the division; for these
  // ranges it gives exactly the integer quotient.
  static constexpr std::int32_t divide_by_count(std::int32_t x, std::uint16_t n) noexcept {
    const std::uint32_t magnitude = static_cast<std::uint32_t>(x < 0 ? -x : x);
    const auto q = static_cast<std::int32_t>(
        (static_cast<std::uint64_t>(magnitude) * RECIPROCALS[n]) >> 32);
    return x < 0 ? -q : q;
  }

 private:
  struct Entry {
    std::uint16_t p;
    std::uint16_t n;
  };

  static constexpr std::array<std::uint64_t, MAX_COUNT + 1> RECIPROCALS = [] {
    std::array<std::uint64_t, MAX_COUNT + 1> r{};
    for (std::size_t n = 0; n <= MAX_COUNT; ++n) r[n] = (std::uint64_t{1} << 32) / (n + 4) + 1;
    return r;
  }();

  std::array<Entry, STATE_COUNT> entries_{};
};

// RunMap: remembers, per hashed context, the last bit seen and how many times
// in a row it was seen, and predicts that bit again with a confidence that
// grows with the run.
// Memory: one byte per slot, a power-of-two count of slots, zeroed; bit 7 the
// last bit, bits 0..6 the run length 0..127 (0 = empty).
// Input: the context hash h of the current bit (the owner's slot hash).
// Per bit: p(h) before the bit; update(h, bit) after it, with the same h.
class RunMap {
 public:
  // An empty map, only to be assigned from create().
  RunMap() = default;

  // A map of `length` slots; `length` must be a power of two up to 2^32.
  static kvn::Result<RunMap> create(std::size_t length) {
    KVN_RETURN_ERROR_IF(!std::has_single_bit(length) || length > (std::size_t{1} << 32), Other,
                        "run map length must be a power of two");
    KVN_ASSIGN_OR_RETURN(auto bytes, ZeroedTable<std::uint8_t>::allocate(length));
    RunMap map;
    map.bytes_ = std::move(bytes);
    map.mask_ = static_cast<std::uint32_t>(length - 1);
    return map;
  }

  // The slot count for a context model whose table has `table_bytes` bytes:
  // a quarter of the table rounded up to a power of two, at least 1024.
  static constexpr std::size_t length_for_table(std::size_t table_bytes) noexcept {
    const std::size_t quarter = std::bit_ceil(table_bytes / 4 > 0 ? table_bytes / 4 : 1);
    return quarter > 1024 ? quarter : 1024;
  }

  std::size_t length() const noexcept { return bytes_.size(); }

  // Asks the cache for the record of context hash h.
  void prefetch(std::uint32_t h) const noexcept { __builtin_prefetch(&bytes_[h & mask_]); }

  std::uint32_t p(std::uint32_t h) const noexcept {
    const std::uint32_t record = bytes_[h & mask_];
    const std::uint32_t count = record & 0x7F;
    if (count == 0) return 2048;
    const std::uint32_t d = count * 128 < 1800 ? count * 128 : 1800;
    return (record & 0x80) ? 2048 + d : 2048 - d;
  }

  void update(std::uint32_t h, std::uint32_t bit) noexcept {
    std::uint8_t& record = bytes_[h & mask_];
    std::uint32_t count = record & 0x7Fu;
    if (bit == (record >> 7u) && count > 0) {
      count = (count < 126 ? count : 126) + 1;
    } else {
      count = 1;
    }
    record = static_cast<std::uint8_t>((bit << 7) | count);
  }

 private:
  ZeroedTable<std::uint8_t> bytes_;
  std::uint32_t mask_ = 0;
};

}  // namespace kelvane::state
