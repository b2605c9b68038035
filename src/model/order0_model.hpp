// Order0Model: predicts each bit from the bits of the current byte alone.
// Memory: 256 state bytes indexed by the partial byte c0, and a StateMap.
// Input: MixerInput 0.
// Per bit: predict() reads the state of c0; update() trains the StateMap
// entry of that state and steps the slot.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "state/context_map.hpp"
#include "state/state_table.hpp"

namespace kelvane::model {

class Order0Model {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::ORDER0;

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    slot_ = h.c0 & 0xFF;
    state_ = states_[slot_];
    in[INPUT] = mixer::stretch(state_map_.p(state_));
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    states_[slot_] = state::next(state_, bit);
  }

 private:
  std::array<std::uint8_t, 256> states_{};
  state::StateMap state_map_;
  std::uint32_t slot_ = 0;
  std::uint8_t state_ = 0;
};

}  // namespace kelvane::model
