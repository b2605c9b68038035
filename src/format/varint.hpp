// Variable-length integers of the transform formats: unsigned LEB128 of at
// most 10 bytes, least significant group first; signed values are zigzag
// mapped first as (d << 1) ^ (d >> 63).
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::format {

inline void append_leb128(kvn::Bytes& out, std::uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<std::uint8_t>(value));
}

// Reads one LEB128 value at `pos`, advancing it. Fails (returns false, `pos`
// unchanged) when the bytes end first or the value runs past 10 bytes.
inline bool read_leb128(kvn::ByteSpan data, std::size_t& pos, std::uint64_t& value) noexcept {
  std::uint64_t result = 0;
  std::size_t p = pos;
  for (int i = 0; i < 10; ++i) {
    if (p >= data.size()) return false;
    const std::uint8_t byte = data[p++];
    result |= static_cast<std::uint64_t>(byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      value = result;
      pos = p;
      return true;
    }
  }
  return false;
}

constexpr std::uint64_t zigzag_encode(std::int64_t d) noexcept {
  return (static_cast<std::uint64_t>(d) << 1) ^ static_cast<std::uint64_t>(d >> 63);
}
constexpr std::int64_t zigzag_decode(std::uint64_t z) noexcept {
  return static_cast<std::int64_t>(z >> 1) ^ -static_cast<std::int64_t>(z & 1);
}

}  // namespace kelvane::format
