// Sums and products of sizes that stop at UINT64_MAX instead of wrapping:
// a bound computed from declared sizes can then only be too large to reach,
// never small by accident.
#pragma once

#include <cstdint>

namespace kelvane::kvn {

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? UINT64_MAX : sum;
}

constexpr std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

}  // namespace kelvane::kvn
