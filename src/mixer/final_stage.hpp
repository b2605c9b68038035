// FinalStage: everything between the 28 model predictions and the coder: the
// MultiSetMixer and its FINAL_BLEND, then seven chained Apms, each refining
// the previous probability under its own context.
// Memory: the mixer's weight rows (about 1.2 MiB) and 36864 Apm rows (about
// 4.6 MiB).
// Inputs: the MixerInput of the bit, the history, the match bucket.
// Per bit: predict() before the bit returns the p12 for the coder; update(bit)
// after it trains the Apms (6 down to 0), then the mixer sets (0 to 6).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/apm.hpp"
#include "mixer/history.hpp"
#include "mixer/mixer_input.hpp"
#include "mixer/multi_set_mixer.hpp"

namespace kelvane::mixer {

class FinalStage {
 public:
  static constexpr std::size_t APM_COUNT = 7;

  struct ApmShape {
    std::uint32_t row_count;
    std::uint32_t weight;
  };
  static constexpr std::array<ApmShape, APM_COUNT> APM_SHAPES = {{
      {2048, 140}, {16384, 76}, {4096, 64}, {4096, 38}, {4096, 38}, {2048, 30}, {4096, 30},
  }};

  FinalStage() = default;

  static kvn::Result<FinalStage> create();

  // The context of every Apm stage for the coming bit.
  static std::array<std::uint32_t, APM_COUNT> apm_contexts(const History& h,
                                                           std::uint32_t match_bucket) noexcept;

  // Asks the cache for the weight and Apm rows a predict() under this history
  // would read; lets the engine start those loads one bit ahead.
  void prefetch(const History& h, std::uint32_t match_bucket) const noexcept;

  // The probability (1..4095) that the coming bit is 1.
  std::uint32_t predict(const MixerInput& inputs, const History& h,
                        std::uint32_t match_bucket) noexcept;

  void update(std::uint32_t bit) noexcept;

  const MultiSetMixer& mixer() const noexcept { return mixer_; }
  const Apm& apm(std::size_t k) const noexcept { return apms_[k]; }

 private:
  MultiSetMixer mixer_;
  std::array<Apm, APM_COUNT> apms_;
};

}  // namespace kelvane::mixer
