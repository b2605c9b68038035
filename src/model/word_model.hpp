// WordModel: predicts from the current word (letters, digits and '_', case
// folded) and the byte just before it.
// Memory: `table` of word_table_size bytes (CMConfig field 11), zeroed; a
// StateMap.
// Input: MixerInput 20.
// Per bit: at a byte boundary, word_step(c1) extends or ends the word; then
// predict() reads the slot of key(0; word_hash, c0, previous_hash,
// min(word_len, 7)); update() trains the StateMap and steps the slot.
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

class WordModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::WORD;

  WordModel() = default;

  static kvn::Result<WordModel> create(std::uint32_t size) {
    KVN_RETURN_IF_ERROR(check_table_size(size, 1, "word table"));
    WordModel model;
    KVN_ASSIGN_OR_RETURN(model.table_, state::ZeroedTable<std::uint8_t>::allocate(size));
    model.mask_ = size - 1;
    return model;
  }

  static bool is_word_byte(std::uint8_t b) noexcept {
    return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
           b == '_';
  }

  // The byte-boundary step with the byte just coded (0 before the first byte).
  void word_step(std::uint8_t c1) noexcept { word_ = stepped(word_, c1); }

  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) word_step(h.c1);
    slot_hash_ = context(word_, h.c0);
    state_ = table_[slot_hash_ & mask_];
    in[INPUT] = mixer::stretch(state_map_.p(state_));
  }

  // Starts loading the slot the next bit will read; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept {
    const Word word = next.bp == 0 ? stepped(word_, next.c1) : word_;
    __builtin_prefetch(&table_[context(word, next.c0) & mask_]);
  }

  void update(const mixer::History&, std::uint32_t bit) noexcept {
    state_map_.update(state_, bit);
    table_[slot_hash_ & mask_] = state::next(state_, bit);
  }

  std::uint32_t word_hash() const noexcept { return word_.hash; }
  std::uint32_t previous_hash() const noexcept { return word_.previous_hash; }
  std::uint32_t word_len() const noexcept { return word_.len; }

 private:
  struct Word {
    std::uint32_t hash = 0;           // the current word, or the last non-word byte
    std::uint32_t previous_hash = 0;  // `hash` when the current word began
    std::uint32_t len = 0;            // 0 after a non-word byte
    bool in_word = false;
  };

  static Word stepped(Word w, std::uint8_t c1) noexcept {
    if (!is_word_byte(c1)) {
      w.in_word = false;
      w.hash = c1;
      w.len = 0;
      return w;
    }
    const std::uint32_t folded = (c1 >= 'A' && c1 <= 'Z') ? (c1 | 0x20u) : c1;
    if (w.in_word) {
      w.hash = (w.hash * FNV_PRIME) ^ folded;
      ++w.len;
    } else {
      w.previous_hash = w.hash;
      w.hash = folded;
      w.len = 1;
      w.in_word = true;
    }
    return w;
  }

  static std::uint32_t context(const Word& w, std::uint32_t c0) noexcept {
    return key(0, w.hash, c0, w.previous_hash, w.len < 7 ? w.len : 7u);
  }

  state::ZeroedTable<std::uint8_t> table_;
  state::StateMap state_map_;
  std::uint32_t mask_ = 0;
  Word word_;
  std::uint32_t slot_hash_ = 0;
  std::uint8_t state_ = 0;
};

}  // namespace kelvane::model
