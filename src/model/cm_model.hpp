// The context models of orders 1 to 9: hashed tables of bit-history states,
// one per order, in three slot layouts.
//
// Context: fnv(B; ck, ..., c1, c0), the k previous bytes oldest first, then
// the partial byte. The part over the whole bytes changes only at a byte
// boundary, so it is folded once per byte and c0 is folded in per bit.
// Memory: `table` of S bytes (the order's CMConfig cm_sizes entry, a power of
// two, at least 8) and a RunMap of max(1024, S/4 rounded up to a power of two)
// bytes, both zeroed; a StateMap.
// Inputs: MixerInput 2k - 1 (the StateMap probability of the slot's state)
// and 2k (the RunMap probability of the context hash).
// Per bit: predict() hashes, reads the slot and the run record; update()
// trains the StateMap, stores the next state, then updates the RunMap, all
// with the hash and state of this bit's prediction. prefetch() may run in
// between, once the bit is known, to start loading the next bit's slot.
//
// Layouts (`ContextModel` for orders 1-2, `ChecksumContextModel` for 3-4,
// `AssociativeContextModel` for 5-9):
// - direct: 1-byte slot (state) at h & mask, mask = S - 1.
// - checksum: 2-byte slot (check, state) at (h & mask) * 2, mask = S/2 - 1; a
//   slot whose check differs reads state 0 and is taken over on update.
// - associative: 4-byte bucket (check0, state0, check1, state1) at
//   (h & mask) * 4, mask = S/4 - 1; a miss moves the first pair down (evicting
//   the second) and the new context becomes the first pair; a hit updates its
//   pair in place.
// The check byte ((h >> 16) & 0xFF) | 1 is never 0, so a zeroed slot never
// matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

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

namespace cm_layout {

inline std::uint8_t check_byte(std::uint32_t h) noexcept {
  return static_cast<std::uint8_t>(((h >> 16) & 0xFFu) | 1u);
}

struct Direct {
  static constexpr std::uint32_t SLOT_BYTES = 1;
  static std::uint8_t read(const std::uint8_t* slot, std::uint32_t) noexcept { return slot[0]; }
  static void write(std::uint8_t* slot, std::uint32_t, std::uint8_t next) noexcept {
    slot[0] = next;
  }
};

struct Checksum {
  static constexpr std::uint32_t SLOT_BYTES = 2;
  static std::uint8_t read(const std::uint8_t* slot, std::uint32_t h) noexcept {
    return slot[0] == check_byte(h) ? slot[1] : 0;
  }
  static void write(std::uint8_t* slot, std::uint32_t h, std::uint8_t next) noexcept {
    slot[0] = check_byte(h);
    slot[1] = next;
  }
};

struct Associative {
  static constexpr std::uint32_t SLOT_BYTES = 4;
  static std::uint8_t read(const std::uint8_t* slot, std::uint32_t h) noexcept {
    const std::uint8_t chk = check_byte(h);
    if (slot[0] == chk) return slot[1];
    if (slot[2] == chk) return slot[3];
    return 0;
  }
  static void write(std::uint8_t* slot, std::uint32_t h, std::uint8_t next) noexcept {
    const std::uint8_t chk = check_byte(h);
    if (slot[0] == chk) {
      slot[1] = next;
    } else if (slot[2] == chk) {
      slot[3] = next;
    } else {
      slot[2] = slot[0];
      slot[3] = slot[1];
      slot[0] = chk;
      slot[1] = next;
    }
  }
};

}  // namespace cm_layout

template <unsigned Order, class Layout>
class HashedContextModel {
  static_assert(Order >= 1 && Order <= 9);

 public:
  static constexpr unsigned ORDER = Order;
  static constexpr std::size_t STATE_INPUT = mixer::MixerInput::order_state(Order);
  static constexpr std::size_t RUN_INPUT = mixer::MixerInput::order_run(Order);

  HashedContextModel() = default;

  // A model over a zeroed table of `size` bytes.
  static kvn::Result<HashedContextModel> create(std::uint32_t size) {
    KVN_RETURN_IF_ERROR(check_table_size(size, 8, "context model"));
    HashedContextModel model;
    KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint8_t>::allocate(size));
    KVN_ASSIGN_OR_RETURN(model.run_map_,
                         state::RunMap::create(state::RunMap::length_for_table(size)));
    model.mask_ = size / Layout::SLOT_BYTES - 1;
    return model;
  }

  // fnv(B; ck, ..., c1): the context of the whole bytes.
  static std::uint32_t byte_context(const mixer::History& h) noexcept {
    std::uint32_t hash = FNV_BASIS;
    for (unsigned k = Order; k >= 1; --k) hash = fnv_step(hash, h.back(k));
    return hash;
  }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) byte_hash_ = byte_context(h);
    slot_hash_ = fnv_step(byte_hash_, h.c0);
    state_ = Layout::read(slot(), slot_hash_);
    in[STATE_INPUT] = mixer::stretch(state_map_.p(state_));
    in[RUN_INPUT] = mixer::stretch(run_map_.p(slot_hash_));
  }

  // Starts loading the slot the next bit will read; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    const std::uint32_t byte_hash = next.bp == 0 ? byte_context(next) : byte_hash_;
    const std::uint32_t h = fnv_step(byte_hash, next.c0);
    __builtin_prefetch(&table_[std::size_t{h & mask_} * Layout::SLOT_BYTES]);
    run_map_.prefetch(h);
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    Layout::write(slot(), slot_hash_, state::next(state_, bit));
    run_map_.update(slot_hash_, bit);
  }

  std::uint32_t slot_hash() const noexcept { return slot_hash_; }
  std::uint8_t state() const noexcept { return state_; }

 private:
  std::uint8_t* slot() noexcept {
    return &table_[std::size_t{slot_hash_ & mask_} * Layout::SLOT_BYTES];
  }

  state::ZeroedTable<std::uint8_t> table_;
  state::RunMap run_map_;
  state::StateMap state_map_;
  std::uint32_t mask_ = 0;
  std::uint32_t byte_hash_ = 0;
  std::uint32_t slot_hash_ = 0;
  std::uint8_t state_ = 0;
};

template <unsigned Order>
using ContextModel = HashedContextModel<Order, cm_layout::Direct>;
template <unsigned Order>
using ChecksumContextModel = HashedContextModel<Order, cm_layout::Checksum>;
template <unsigned Order>
using AssociativeContextModel = HashedContextModel<Order, cm_layout::Associative>;

}  // namespace kelvane::model
