// The hash notation of the context-mixing models. All arithmetic is on u32, modulo
// 2^32. fnv(s; x1..xn) folds every element in with XOR and a multiply by P;
// key(s; x1..xn) is fnv of all but the last element, with the last XORed in
// without a further multiply. Bytes and c0 enter as their unsigned values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvane::state {

inline constexpr std::uint32_t FNV_PRIME = 16777619u;       // P, 0x01000193
inline constexpr std::uint32_t FNV_BASIS = 0x811C9DC5u;     // B

// One fnv step: h = (h XOR x) * P.
constexpr std::uint32_t fnv_step(std::uint32_t h, std::uint32_t x) noexcept {
  return (h ^ x) * FNV_PRIME;
}

template <class... Xs>
constexpr std::uint32_t fnv(std::uint32_t seed, Xs... xs) noexcept {
  std::uint32_t h = seed;
  ((h = fnv_step(h, static_cast<std::uint32_t>(xs))), ...);
  return h;
}

// key(s; x1..xn, last) = fnv(s; x1..xn) XOR last.
template <class... Xs>
constexpr std::uint32_t key(std::uint32_t seed, Xs... xs_then_last) noexcept {
  static_assert(sizeof...(Xs) >= 1, "key needs at least one element");
  const std::uint32_t values[] = {static_cast<std::uint32_t>(xs_then_last)...};
  std::uint32_t h = seed;
  for (std::size_t i = 0; i + 1 < sizeof...(Xs); ++i) h = fnv_step(h, values[i]);
  return h ^ values[sizeof...(Xs) - 1];
}

}  // namespace kelvane::state
