// MixerInput: the 28 predictions of one bit, each already stretched into the
// mixing domain, in a fixed order that the mixer weights follow.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kelvane::mixer {

struct MixerInput {
  static constexpr std::size_t ORDER0 = 0;
  // Orders k = 1..9 give two inputs each: the StateMap and the RunMap prediction.
  static constexpr std::size_t order_state(unsigned k) noexcept { return 2 * k - 1; }
  static constexpr std::size_t order_run(unsigned k) noexcept { return 2 * k; }
  static constexpr std::size_t MATCH = 19;
  static constexpr std::size_t WORD = 20;
  static constexpr std::size_t SPARSE = 21;
  static constexpr std::size_t BYTE_RUN = 22;
  static constexpr std::size_t JSON = 23;
  static constexpr std::size_t INDIRECT = 24;
  static constexpr std::size_t PPM = 25;
  static constexpr std::size_t DMC = 26;
  static constexpr std::size_t ISSE = 27;
  static constexpr std::size_t COUNT = 28;

  std::array<std::int32_t, COUNT> values{};

  std::int32_t& operator[](std::size_t i) noexcept { return values[i]; }
  std::int32_t operator[](std::size_t i) const noexcept { return values[i]; }
};

}  // namespace kelvane::mixer
