// CMEngine: the bitwise predictor of the context-mixing coder. It owns every
// model, the mixer with its Apm chain and the byte history, and advances them
// in one fixed order for every bit, so that an encoder and a decoder that make
// the same calls agree bit for bit.
//
// Per bit: predict() asks every model for its inputs (models with a byte
// step run it themselves when bp = 0), mixes them and refines the result;
// update(bit) trains the Apm chain and the mixer, then every model in the
// order of prediction, then appends the bit to the history. Since the bit is
// known when update() starts, it first prefetches the table slots of the
// next bit (prefetch() of the hashed models, which changes no state), so
// their cache misses overlap the mixer's training.
//
// Inputs of models that are not part of the engine yet (JSON, indirect,
// match, PPM, DMC, ISSE chain) stay at stretch(2048) = 0 and the match bucket
// at 0. Each such model drops in as one member, built in with_config(), and
// one line each in predict(), update() and prefetch().
//
// Memory: the tables sized by CMConfig, obtained already zeroed from the
// system (state::ZeroedTable), so pages a call never touches cost nothing.
#pragma once

#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/final_stage.hpp"
#include "mixer/history.hpp"
#include "mixer/mixer_input.hpp"
#include "model/byte_run_model.hpp"
#include "model/cm_config.hpp"
#include "model/cm_model.hpp"
#include "model/order0_model.hpp"
#include "model/sparse_model.hpp"
#include "model/word_model.hpp"

namespace kelvane::model {

class CMEngine {
 public:
  // Builds every model with the sizes of `config`; fails with kind Other
  // (kvn::kOutOfMemory) when a table cannot be allocated.
  static kvn::Result<CMEngine> with_config(const CMConfig& config);

  // The probability (1..4095, scale 4096) that the next bit is 1.
  std::uint32_t predict() noexcept;
  // Takes the coded bit; strictly alternates with predict().
  void update(std::uint32_t bit) noexcept;

  const mixer::History& history() const noexcept { return history_; }
  const mixer::MixerInput& inputs() const noexcept { return inputs_; }

 private:
  CMEngine() = default;

  // Starts loading the table slots of the bit after this one; `next` is the
  // history once this bit has been appended.
  void prefetch(const mixer::History& next) const noexcept;

  ContextModel<1> order1_;
  ContextModel<2> order2_;
  ChecksumContextModel<3> order3_;
  ChecksumContextModel<4> order4_;
  AssociativeContextModel<5> order5_;
  AssociativeContextModel<6> order6_;
  AssociativeContextModel<7> order7_;
  AssociativeContextModel<8> order8_;
  AssociativeContextModel<9> order9_;
  WordModel word_;
  SparseModel sparse_;
  ByteRunModel byte_run_;
  mixer::FinalStage final_stage_;
  Order0Model order0_;
  mixer::History history_;
  mixer::MixerInput inputs_;
};

}  // namespace kelvane::model
