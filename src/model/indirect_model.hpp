// IndirectModel: remembers, for every hashed three-byte context, the byte
// that followed it last time, and predicts the current byte's bits from that
// predicted byte and the partial byte c0.
// Memory: fixed in both modes: `byte_table` and `confidence`, 1 MiB each, and
// `table`, 8 MiB of state slots, all zeroed; a StateMap.
// Input: MixerInput 24.
// Per bit: at a byte boundary predict() hashes c3, c2, c1 and reads the
// predicted byte; every bit it reads the slot of (predicted, c0); update()
// trains the StateMap and steps the slot, and after the eighth bit records
// the completed byte under the context taken at that byte's boundary. A
// stored byte survives one miss while its confidence is 2 or more; the
// confidence only decides replacement and does not enter the prediction.
//
// The model's own partial byte, bit count and last three bytes always equal
// the engine's c0, bp and c1..c3, so it reads them from the history.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "state/context_map.hpp"
#include "state/state_table.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

class IndirectModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::INDIRECT;
  static constexpr std::uint32_t BYTE_TABLE_SIZE = 1u << 20;
  static constexpr std::uint32_t BYTE_MASK = BYTE_TABLE_SIZE - 1;
  static constexpr std::uint32_t TABLE_SIZE = 1u << 23;
  static constexpr std::uint32_t MASK = TABLE_SIZE - 1;
  static constexpr std::uint32_t SEED = 0x9E3779B9u;

  IndirectModel() = default;

  static kvn::Result<IndirectModel> create() {
    IndirectModel model;
    KVN_ASSIGN_OR_RETURN(model.byte_table_,
                         state::ZeroedTable<std::uint8_t>::allocate(BYTE_TABLE_SIZE));
    KVN_ASSIGN_OR_RETURN(model.confidence_,
                         state::ZeroedTable<std::uint8_t>::allocate(BYTE_TABLE_SIZE));
    KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint8_t>::allocate(TABLE_SIZE));
    return model;
  }

  // fnv(B; c3, c2, c1): the context whose successor the model remembers.
  static std::uint32_t byte_context(const mixer::History& h) noexcept {
    return fnv(FNV_BASIS, h.c3, h.c2, h.c1);
  }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) {
      byte_hash_ = byte_context(h);
      predicted_ = byte_table_[byte_hash_ & BYTE_MASK];
    }
    context_hash_ = fnv(SEED, predicted_, h.c0);
    state_ = table_[context_hash_ & MASK];
    in[INPUT] = mixer::stretch(state_map_.p(state_));
  }

  // Starts loading what the next bit will read: at a byte boundary the
  // successor entry of the new context, else the next slot. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    if (next.bp == 0) {
      __builtin_prefetch(&byte_table_[byte_context(next) & BYTE_MASK]);
    } else {
      __builtin_prefetch(&table_[fnv(SEED, predicted_, next.c0) & MASK]);
    }
  }

  // `h` is the history of this bit's prediction (bp 0..7, c0 without `bit`).
  void update(const mixer::History& h, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    table_[context_hash_ & MASK] = state::next(state_, bit);
    if (h.bp == 7) record(static_cast<std::uint8_t>((h.c0 << 1) | bit));
  }

  std::uint8_t predicted() const noexcept { return predicted_; }
  std::uint8_t stored(std::uint32_t byte_hash) const noexcept {
    return byte_table_[byte_hash & BYTE_MASK];
  }
  std::uint8_t confidence(std::uint32_t byte_hash) const noexcept {
    return confidence_[byte_hash & BYTE_MASK];
  }

 private:
  // The byte `b` followed the context taken at its boundary.
  void record(std::uint8_t b) noexcept {
    const std::uint32_t i = byte_hash_ & BYTE_MASK;
    std::uint8_t& confidence = confidence_[i];
    if (byte_table_[i] == b) {
      if (confidence < 255) ++confidence;
    } else if (confidence >= 2) {
      --confidence;
    } else {
      byte_table_[i] = b;
      confidence = 1;
    }
  }

  state::ZeroedTable<std::uint8_t> byte_table_;
  state::ZeroedTable<std::uint8_t> confidence_;
  state::ZeroedTable<std::uint8_t> table_;
  state::StateMap state_map_;
  std::uint32_t byte_hash_ = 0;
  std::uint32_t context_hash_ = 0;
  std::uint8_t predicted_ = 0;
  std::uint8_t state_ = 0;
};

}  // namespace kelvane::model
