// gru_bit_probability and GruBlender. The bit probability sums the GRU's
// binary32 probabilities in binary64, in ascending byte order; like the GRU
// itself this file is compiled without contraction or fast-math.
#include "model/gru_blend.hpp"

#include <algorithm>

#include "model/default_float_environment.hpp"

namespace kelvane::model {

namespace {
constexpr std::uint32_t clamp12(std::int64_t p) noexcept {
  return static_cast<std::uint32_t>(std::clamp<std::int64_t>(p, 1, 4095));
}
}  // namespace

std::uint32_t gru_bit_probability(const GruModel& gru, std::uint32_t bp,
                                  std::uint32_t partial) noexcept {
  if (!gru.has_prediction()) return 2048;
  const DefaultFloatEnvironment environment;  // the quotient rounds to nearest
  // The byte values that start with the coded bits form one run of 2^(8-bp)
  // values; its lower half has the next bit 0, its upper half 1.
  const std::uint32_t half = 1u << (7 - bp);
  const std::uint32_t first = partial << (8 - bp);
  const auto probs = gru.output_probs();
  double s0 = 0.0;
  double s1 = 0.0;
  for (std::uint32_t k = first; k < first + half; ++k) s0 += static_cast<double>(probs[k]);
  for (std::uint32_t k = first + half; k < first + 2 * half; ++k) {
    s1 += static_cast<double>(probs[k]);
  }
  const double total = s0 + s1;
  if (total < 1e-15) return 2048;
  const double v = (s1 * 4096.0) / total;
  // Truncated toward zero, saturating: below 1 (or not a number) gives 1.
  if (!(v >= 1.0)) return 1;
  if (v >= 4095.0) return 4095;
  return static_cast<std::uint32_t>(v);
}

kvn::Result<GruBlender> GruBlender::create() {
  KVN_ASSIGN_OR_RETURN(auto cells, state::ZeroedTable<std::uint32_t>::allocate(SIDE * SIDE));
  for (std::uint32_t row = 0; row < SIDE; ++row) {
    for (std::uint32_t col = 0; col < SIDE; ++col) {
      cells[row * SIDE + col] = clamp12((std::int64_t{row} * 14690 + std::int64_t{col} * 1950) >> 8);
    }
  }
  GruBlender blender;
  blender.cells_ = std::move(cells);
  return blender;
}

std::uint32_t GruBlender::blend(std::uint32_t p_cm, std::uint32_t p_gru) noexcept {
  slot_ = (p_cm / STEP) * SIDE + p_gru / STEP;
  const std::uint32_t t = cells_[slot_];
  const std::uint32_t mix = (226 * p_cm + 30 * p_gru) >> 8;
  return clamp12((mix & t) + ((mix ^ t) >> 1));
}

void GruBlender::update(std::uint32_t bit) noexcept {
  const auto t = static_cast<std::int32_t>(cells_[slot_]);
  const std::int32_t target = bit ? 4095 : 1;
  cells_[slot_] = clamp12(t + ((target - t) >> 5));
}

}  // namespace kelvane::model
