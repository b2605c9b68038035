// ByteRunModel: predicts from the last byte and how long it has repeated.
// Its run length is its own count (from the byte boundaries it has seen),
// distinct from the engine history's same-byte run.
// Memory: `table` of run_table_size bytes (CMConfig field 13), zeroed; a
// StateMap.
// Input: MixerInput 22.
// Per bit: at a byte boundary, run_step(c1) extends or restarts the run; then
// predict() reads the slot of key(seed(bucket of run_len); c1, c0); update()
// trains the StateMap and steps the slot.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "model/table_size.hpp"
#include "state/context_map.hpp"
#include "state/state_table.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

class ByteRunModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::BYTE_RUN;
  static constexpr std::uint32_t SEED = 0xE59CA738u;

  ByteRunModel() = default;

  static kvn::Result<ByteRunModel> create(std::uint32_t size) {
    KVN_RETURN_IF_ERROR(check_table_size(size, 1, "byte-run table"));
    ByteRunModel model;
    KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint8_t>::allocate(size));
    model.mask_ = size - 1;
    return model;
  }

  // 0 for 0..1, 1 for 2, 2 for 3, 3 for 4..5, 4 for 6..8, 5 for 9..16,
  // 6 for 17..32, 7 above.
  static constexpr std::uint32_t bucket(std::uint32_t run_len) noexcept {
    if (run_len <= 1) return 0;
    if (run_len == 2) return 1;
    if (run_len == 3) return 2;
    if (run_len <= 5) return 3;
    if (run_len <= 8) return 4;
    if (run_len <= 16) return 5;
    if (run_len <= 32) return 6;
    return 7;
  }

  // The byte-boundary step with the byte just coded (0 before the first byte).
  void run_step(std::uint8_t c1) noexcept {
    run_len_ = c1 == last_byte_ ? run_len_ + 1 : 1;
    last_byte_ = c1;
  }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) run_step(h.c1);
    slot_hash_ = context(run_len_, h);
    state_ = table_[slot_hash_ & mask_];
    in[INPUT] = mixer::stretch(state_map_.p(state_));
  }

  // Starts loading the slot the next bit will read; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    const std::uint32_t run_len =
        next.bp != 0 ? run_len_ : (next.c1 == last_byte_ ? run_len_ + 1 : 1);
    __builtin_prefetch(&table_[context(run_len, next) & mask_]);
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    table_[slot_hash_ & mask_] = state::next(state_, bit);
  }

  std::uint32_t run_len() const noexcept { return run_len_; }

 private:
  static std::uint32_t context(std::uint32_t run_len, const mixer::History& h) noexcept {
    return key(SEED + bucket(run_len) * FNV_PRIME, h.c1, h.c0);
  }

  state::ZeroedTable<std::uint8_t> table_;
  state::StateMap state_map_;
  std::uint32_t mask_ = 0;
  std::uint32_t run_len_ = 0;
  std::uint8_t last_byte_ = 0;
  std::uint32_t slot_hash_ = 0;
  std::uint8_t state_ = 0;
};

}  // namespace kelvane::model
