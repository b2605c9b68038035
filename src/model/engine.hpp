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
// All 28 mixer inputs are live: order 0, orders 1..9 (two each), match,
// word, sparse, byte run, JSON, indirect, PPM, DMC and the ISSE chain. The
// match model's length also selects mixer rows and Apm rows (the match
// bucket), and the PPM model counts each completed byte between the history
// counters and the shift of c1..c9.
//
// Memory: the tables sized by CMConfig (about 2.4 GiB at CM_CONFIG_MAX, of
// which PPM takes 1.55 GiB) plus the fixed indirect, DMC and ISSE tables,
// all obtained already zeroed from the system (state::ZeroedTable), so pages
// a call never touches cost nothing.
#pragma once

#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/final_stage.hpp"
#include "mixer/history.hpp"
#include "mixer/isse.hpp"
#include "mixer/mixer_input.hpp"
#include "model/byte_run_model.hpp"
#include "model/cm_config.hpp"
#include "model/cm_model.hpp"
#include "model/dmc_model.hpp"
#include "model/indirect_model.hpp"
#include "model/json_model.hpp"
#include "model/match_model.hpp"
#include "model/order0_model.hpp"
#include "model/ppm_model.hpp"
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
  void prefetch(const mixer::History& next, std::uint32_t bit) const noexcept;

  ContextModel<1> order1_;
  ContextModel<2> order2_;
  ChecksumContextModel<3> order3_;
  ChecksumContextModel<4> order4_;
  AssociativeContextModel<5> order5_;
  AssociativeContextModel<6> order6_;
  AssociativeContextModel<7> order7_;
  AssociativeContextModel<8> order8_;
  AssociativeContextModel<9> order9_;
  MatchModel match_;
  WordModel word_;
  SparseModel sparse_;
  ByteRunModel byte_run_;
  JsonModel json_;
  IndirectModel indirect_;
  PpmModel ppm_;
  DmcModel dmc_;
  mixer::FinalStage final_stage_;  // the mixer and the seven Apms
  mixer::IsseChain isse_;
  Order0Model order0_;
  mixer::History history_;
  mixer::MixerInput inputs_;
};

}  // namespace kelvane::model
