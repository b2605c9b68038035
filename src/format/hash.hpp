// A fast 64-bit hash of byte strings, for maps that bucket skeletons and
// values by hash and compare the bytes only on a hit. Not stored anywhere:
// nothing in an output depends on its values.
#pragma once

#include <cstdint>
#include <cstring>

#include "kvn/bytes.hpp"

namespace kelvane::format {

// The finaliser of MurmurHash3: every input bit reaches every output bit.
constexpr std::uint64_t mix64(std::uint64_t h) noexcept {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

// Folds `bytes` (and their length, so that concatenations differ) into `h`,
// eight bytes per step.
inline std::uint64_t hash_bytes(std::uint64_t h, kvn::ByteSpan bytes) noexcept {
  constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
  const std::uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
  h = (h ^ n) * kMul;
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = ((h ^ word) * kMul);
    h ^= h >> 29;
  }
  if (n > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, n);
    h = ((h ^ word) * kMul);
    h ^= h >> 29;
  }
  return h;
}

}  // namespace kelvane::format
