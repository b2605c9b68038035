// The move between probabilities (p12: probability of a 1 on the scale 4096)
// and the mixing domain, where predictions are added with weights. Both
// directions are table lookups; the tables are built at compile time from
// integer formulas and are not exact inverses of each other.
#pragma once

#include <array>
#include <cstdint>

namespace kelvane::mixer {

// SQUASH_TABLE[i], x = i - 8192: 2048 + sign(x) * floor(2047 |x| / (|x| + 128)).
// Runs from 33 (i = 0) through 2048 (i = 8192) to 4063 (i = 16383).
inline constexpr std::array<std::uint16_t, 16384> SQUASH_TABLE = [] {
  std::array<std::uint16_t, 16384> table{};
  for (std::int32_t i = 0; i < 16384; ++i) {
    const std::int32_t x = i - 8192;
    const std::int32_t magnitude = x < 0 ? -x : x;
    const std::int32_t step = 2047 * magnitude / (magnitude + 128);
    table[static_cast<std::size_t>(i)] =
        static_cast<std::uint16_t>(x < 0 ? 2048 - step : 2048 + step);
  }
  return table;
}();

// STRETCH_TABLE[p], d = p - 2048: sign(d) * 8191 when |d| >= 2047, else
// sign(d) * min(8191, floor(128 |d| / (2047 - |d|))).
inline constexpr std::array<std::int16_t, 4097> STRETCH_TABLE = [] {
  std::array<std::int16_t, 4097> table{};
  for (std::int32_t p = 0; p <= 4096; ++p) {
    const std::int32_t d = p - 2048;
    const std::int32_t magnitude = d < 0 ? -d : d;
    std::int32_t value = 8191;
    if (magnitude < 2047) {
      value = 128 * magnitude / (2047 - magnitude);
      if (value > 8191) value = 8191;
    }
    table[static_cast<std::size_t>(p)] = static_cast<std::int16_t>(d < 0 ? -value : value);
  }
  return table;
}();

// Mixing-domain value -> p12, the argument clamped to -8192..8191.
constexpr std::uint32_t squash(std::int32_t x) noexcept {
  if (x < -8192) x = -8192;
  if (x > 8191) x = 8191;
  return SQUASH_TABLE[static_cast<std::size_t>(x + 8192)];
}

// p12 -> mixing-domain value; probabilities above 4096 read entry 4096.
constexpr std::int32_t stretch(std::uint32_t p) noexcept {
  return STRETCH_TABLE[p < 4096 ? p : 4096];
}

}  // namespace kelvane::mixer
