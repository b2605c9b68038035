// MultiSetMixer: seven weight sets, each choosing one row of 28 weights by its
// own small context, mixing the 28 stretched predictions into one value, and
// learning from the coded bit; FINAL_BLEND joins the seven outputs into one
// probability.
// Memory: 18944 rows of 28 weights (one 64-byte line each, about 1.2 MiB),
// every row starting as MIXER_INIT_WEIGHTS.
// Inputs: the 28 MixerInput values of the bit (stretch outputs, so within
// -8191..8191), the history and the match bucket.
// Per bit: write `inputs`, then mix() before the bit; update(bit) after it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/mixer_input.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::mixer {

// The value every weight row starts with, in MixerInput order.
inline constexpr std::array<std::int32_t, MixerInput::COUNT> MIXER_INIT_WEIGHTS = {
    200,                                                          // order 0
    300, 60, 350, 60, 450, 60, 450, 60, 450, 60, 300, 60, 250, 60,  // orders 1..7
    200, 60, 180, 60,                                             // orders 8, 9
    300, 250, 250, 200, 250, 200, 50, 30, 150,                    // match .. ISSE chain
};

// The fixed weights (out of 16) of the seven set outputs.
inline constexpr std::array<std::int64_t, 7> FINAL_BLEND = {4, 4, 3, 2, 1, 1, 1};

// sum(FINAL_BLEND[j] * outputs[j]) / 16 (truncating), squashed, kept in 1..4095.
std::uint32_t final_blend(const std::array<std::int32_t, 7>& outputs) noexcept;

// One weight set. The weights are kept in 16 bits: updates clamp them to
// -32768..32767, so a 16-bit cell holds every value a weight can take. Rows are
// padded to 32 weights (64 bytes, one cache line) with weights that stay 0.
struct MixerSet {
  static constexpr std::size_t ROW_STRIDE = 32;

  state::ZeroedTable<std::int16_t> storage;
  std::int16_t* rows = nullptr;  // 64-byte aligned start of row_count rows
  std::uint32_t row_count = 0;   // a power of two
  std::uint32_t row = 0;         // row selected for the current bit
  std::int32_t output = 0;       // mixing-domain output for the current bit

  std::int16_t* weights(std::uint32_t r) noexcept { return rows + std::size_t{r} * ROW_STRIDE; }
  const std::int16_t* weights(std::uint32_t r) const noexcept {
    return rows + std::size_t{r} * ROW_STRIDE;
  }
};

class MultiSetMixer {
 public:
  static constexpr std::size_t SET_COUNT = 7;
  static constexpr std::array<std::uint32_t, SET_COUNT> SET_ROWS = {2048, 2048, 8192, 1024,
                                                                    512,  1024, 4096};

  MultiSetMixer() = default;

  static kvn::Result<MultiSetMixer> create();

  // The context of every set for the coming bit (before masking to its rows).
  static std::array<std::uint32_t, SET_COUNT> set_contexts(const History& h,
                                                           std::uint32_t match_bucket) noexcept;

  // Asks the cache for the rows mix() would select under this history.
  void prefetch(const History& h, std::uint32_t match_bucket) const noexcept;

  // Selects each set's row, computes the seven outputs and returns FINAL_BLEND.
  std::uint32_t mix(const History& h, std::uint32_t match_bucket) noexcept;

  // Trains every set, 0..6, toward the coded bit.
  void update(std::uint32_t bit) noexcept;

  const MixerSet& set(std::size_t j) const noexcept { return sets_[j]; }

  MixerInput inputs;

 private:
  std::array<MixerSet, SET_COUNT> sets_;
  // The inputs of the current bit in 16 bits, padded with zeros; mix() fills
  // it and update() reuses it.
  alignas(16) std::array<std::int16_t, MixerSet::ROW_STRIDE> narrow_inputs_{};
};

}  // namespace kelvane::mixer
