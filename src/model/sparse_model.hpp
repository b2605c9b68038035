// SparseModel: predicts from contexts that skip the nearest byte: half A
// from (c2, c0), half B from (c3, c1, c0). The two probabilities are averaged
// before they enter the mixing domain.
// Memory: two zeroed tables of sparse_table_size bytes each (CMConfig field
// 12), each with its own StateMap.
// Input: MixerInput 21.
// Per bit: predict() reads both slots; update() trains and steps half A,
// then half B.
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

class SparseModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::SPARSE;
  static constexpr std::uint32_t SEED_A = 0x811C4368u;
  static constexpr std::uint32_t SEED_B = 0x811C232Au;

  SparseModel() = default;

  static kvn::Result<SparseModel> with_size(std::uint32_t size) {
    KVN_RETURN_IF_ERROR(check_table_size(size, 1, "sparse table"));
    SparseModel model;
    KVN_ASSIGN_OR_RETURN(model.a_.table, state::ZeroedTable<std::uint8_t>::allocate(size));
    KVN_ASSIGN_OR_RETURN(model.b_.table, state::ZeroedTable<std::uint8_t>::allocate(size));
    model.a_.mask = size - 1;
    model.b_.mask = size - 1;
    return model;
  }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    const std::uint32_t pa = a_.lookup(fnv(SEED_A, h.c2, h.c0));
    const std::uint32_t pb = b_.lookup(fnv(SEED_B, h.c3, h.c1, h.c0));
    std::uint32_t p = (pa + pb) >> 1;
    if (p < 1) p = 1;
    if (p > 4095) p = 4095;
    in[INPUT] = mixer::stretch(p);
  }

  // Starts loading the slots the next bit will read; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    __builtin_prefetch(&a_.table[fnv(SEED_A, next.c2, next.c0) & a_.mask]);
    __builtin_prefetch(&b_.table[fnv(SEED_B, next.c3, next.c1, next.c0) & b_.mask]);
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    a_.update(bit);
    b_.update(bit);
  }

 private:
  struct Half {
    state::ZeroedTable<std::uint8_t> table;
    state::StateMap state_map;
    std::uint32_t mask = 0;
    std::uint32_t slot_hash = 0;
    std::uint8_t state = 0;

    std::uint32_t lookup(std::uint32_t h) noexcept {
      slot_hash = h;
      state = table[h & mask];
      return state_map.p(state);
    }
    void update(std::uint32_t bit) noexcept {
      state_map.update(state, bit);
      table[slot_hash & mask] = state::next(state, bit);
    }
  };

  Half a_;
  Half b_;
};

}  // namespace kelvane::model
