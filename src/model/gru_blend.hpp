// The "balanced" blend: the GRU's byte distribution read as the probability
// of the next bit, and GruBlender, the adaptive table that combines it with
// the engine's final probability before the bit is coded.
//
// GruBlender memory: 64 x 64 cells of p12 values (16 KiB); row p_cm / 65,
// column p_gru / 65. Per bit: blend(p_cm, p_gru) before the bit records the
// cell it read; update(bit) after it moves that cell 1/32 of the way toward
// the bit.
#pragma once

#include <cstdint>

#include "kvn/error.hpp"
#include "model/gru_model.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

// The probability (1..4095, scale 4096) that the next bit is 1, from the
// GRU's distribution over the byte values whose top `bp` bits are the bits
// of the current byte coded so far (`partial`, 0 .. 2^bp - 1). 2048 while
// the GRU has no prediction.
std::uint32_t gru_bit_probability(const GruModel& gru, std::uint32_t bp,
                                  std::uint32_t partial) noexcept;

class GruBlender {
 public:
  static constexpr std::uint32_t SIDE = 64;
  static constexpr std::uint32_t STEP = 65;  // probability points per row or column

  // The table at its initial ramp; fails with kind Other when it cannot be
  // allocated.
  static kvn::Result<GruBlender> create();

  // The probability to code the bit with: the rounded-down average of a fixed
  // mix of both inputs and the cell they select, in 1..4095.
  std::uint32_t blend(std::uint32_t p_cm, std::uint32_t p_gru) noexcept;
  // Moves the cell the last blend() read toward the coded bit.
  void update(std::uint32_t bit) noexcept;

  std::uint32_t cell(std::uint32_t row, std::uint32_t col) const noexcept {
    return cells_[row * SIDE + col];
  }

 private:
  GruBlender() = default;

  state::ZeroedTable<std::uint32_t> cells_;
  std::uint32_t slot_ = 0;
};

}  // namespace kelvane::model
