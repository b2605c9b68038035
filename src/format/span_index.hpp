// SpanIndex: gives each distinct byte string a dense id (0, 1, 2, ... in the
// order the strings are first seen), keyed by views into the caller's bytes,
// so counting values or keys copies no string. The transforms keep their
// counts in vectors indexed by these ids.
//
// Open addressing with linear probing over a power-of-two table kept at most
// half full. The hash only places keys in the table: nothing a transform
// stores depends on it, so its output is the same on every run.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "kvn/bytes.hpp"

namespace kelvane::format {

// A fast 64-bit hash of a byte string (not stable across platforms; used
// only inside one process).
inline std::uint64_t hash_bytes(kvn::ByteSpan bytes) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t h = (n + 1) * kMul;
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * kMul;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  if (n != 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = (h ^ word) * kMul;
  }
  h ^= h >> 32;
  h *= 0xD6E8FEB86659FD93ull;
  return h ^ (h >> 32);
}

class SpanIndex {
 public:
  static constexpr std::uint32_t kAbsent = UINT32_MAX;

  // Room for `expected` keys before the table first grows.
  explicit SpanIndex(std::size_t expected = 16) {
    std::size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.assign(capacity, kEmpty);
  }

  std::size_t size() const noexcept { return keys_.size(); }
  kvn::ByteSpan key(std::uint32_t id) const noexcept { return keys_[id]; }

  // The id of `key`; a key not seen before gets the next id, size() - 1
  // afterwards.
  std::uint32_t intern(kvn::ByteSpan key) {
    const std::uint64_t h = hash_bytes(key);
    std::size_t slot = probe(key, h);
    if (slots_[slot] != kEmpty) return slots_[slot];
    if (2 * (keys_.size() + 1) > slots_.size()) {
      grow();
      slot = probe(key, h);
    }
    const auto id = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(key);
    hashes_.push_back(h);
    slot_of_.push_back(static_cast<std::uint32_t>(slot));
    slots_[slot] = id;
    return id;
  }

  // The id of `key`, or kAbsent when it has none.
  std::uint32_t find(kvn::ByteSpan key) const noexcept {
    return slots_[probe(key, hash_bytes(key))];
  }

  // Forgets every key in time proportional to their number, keeping the
  // table's size.
  void clear() noexcept {
    for (const std::uint32_t slot : slot_of_) slots_[slot] = kEmpty;
    keys_.clear();
    hashes_.clear();
    slot_of_.clear();
  }

 private:
  static constexpr std::uint32_t kEmpty = kAbsent;

  // The slot holding `key`, or the empty slot where it would go.
  std::size_t probe(kvn::ByteSpan key, std::uint64_t h) const noexcept {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = static_cast<std::size_t>(h) & mask;; slot = (slot + 1) & mask) {
      const std::uint32_t id = slots_[slot];
      if (id == kEmpty) return slot;
      if (hashes_[id] == h && std::ranges::equal(keys_[id], key)) return slot;
    }
  }

  void grow() {
    slots_.assign(2 * slots_.size(), kEmpty);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t id = 0; id < keys_.size(); ++id) {
      std::size_t slot = static_cast<std::size_t>(hashes_[id]) & mask;
      while (slots_[slot] != kEmpty) slot = (slot + 1) & mask;
      slots_[slot] = id;
      slot_of_[id] = static_cast<std::uint32_t>(slot);
    }
  }

  std::vector<std::uint32_t> slots_;  // an id, or kEmpty
  std::vector<kvn::ByteSpan> keys_;   // by id
  std::vector<std::uint64_t> hashes_;
  std::vector<std::uint32_t> slot_of_;
};

}  // namespace kelvane::format
