// IsseChain: three chained stages of indirect secondary estimation. Stage 0
// predicts from a bit-history state chosen by the current token length and
// the partial byte; stages 1 and 2 each refine the previous stage's
// probability with a weight pair chosen by their own bit-history state (of
// the classes of c1 and c2, then of c1 and c3), learning the pair online.
// Memory: three tables of 2^21 state slots (2 MiB each), zeroed; stage 0's
// StateMap; 256 weight pairs for each refining stage, every pair starting at
// (65536, stretch(p0(s)) * 256).
// Input: MixerInput 27, the output of stage 2.
// Per bit: predict(c0, c1, c2, c3, bp) reads the three slots and chains the
// stages; update(bit, c0, bp) trains stage 2, then stage 1, then stage 0,
// and at the byte's last bit counts the token length (bytes since the last
// delimiter, saturating at 255).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "state/context_map.hpp"
#include "state/hash.hpp"
#include "state/state_table.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::mixer::isse {

// Eight classes of a byte: the engine's byte classes 0..5 (controls, space,
// digits, upper case, lower case, ASCII punctuation) as they are, every byte
// from 0x80 as 6, DEL as 7.
inline constexpr std::array<std::uint8_t, 256> CLASSES = [] {
  std::array<std::uint8_t, 256> classes{};
  for (unsigned b = 0; b < 256; ++b) {
    const std::uint32_t c = byte_class(static_cast<std::uint8_t>(b));
    classes[b] = static_cast<std::uint8_t>(c <= 5 ? c : (c == 11 ? 7 : 6));
  }
  return classes;
}();

constexpr std::uint32_t classify(std::uint8_t b) noexcept { return CLASSES[b]; }

// Bytes that end a token: TAB, LF, CR, space, ! " ' ( ) , . / : ; < = > ?
// [ ] { }.
inline constexpr std::array<bool, 256> DELIMITERS = [] {
  std::array<bool, 256> d{};
  for (unsigned b : {0x09u, 0x0Au, 0x0Du, 0x20u, 0x21u, 0x22u, 0x27u, 0x28u, 0x29u, 0x2Cu, 0x2Eu,
                     0x2Fu, 0x3Au, 0x3Bu, 0x3Cu, 0x3Du, 0x3Eu, 0x3Fu, 0x5Bu, 0x5Du, 0x7Bu, 0x7Du}) {
    d[b] = true;
  }
  return d;
}();

constexpr bool is_delimiter(std::uint8_t b) noexcept { return DELIMITERS[b]; }

}  // namespace kelvane::mixer::isse

namespace kelvane::mixer {

class IsseChain {
 public:
  static constexpr std::size_t INPUT = MixerInput::ISSE;
  static constexpr std::uint32_t TABLE_SIZE = 1u << 21;
  static constexpr std::uint32_t MASK = TABLE_SIZE - 1;
  static constexpr std::uint32_t SEED0 = 0xA5A5A5A5u;
  static constexpr std::uint32_t SEED1 = 0x5A5A5A5Au;
  static constexpr std::uint32_t SEED2 = 0x3C3C3C3Cu;
  static constexpr std::int32_t WEIGHT_LIMIT = 524287;

  struct WeightPair {
    std::int32_t w0;
    std::int32_t w1;
  };

  IsseChain() = default;

  static kvn::Result<IsseChain> create();

  std::uint32_t predict(std::uint32_t c0, std::uint8_t c1, std::uint8_t c2, std::uint8_t c3,
                        std::uint32_t bp) noexcept {
    const std::uint32_t pa = predict_base(c0, bp);
    stage1_.select(state::fnv(SEED1, isse::classify(c1), isse::classify(c2), c0, bp));
    stage2_.select(state::fnv(SEED2, c1, c3, c0, bp));
    const std::uint32_t p1 = stage1_.refine(stretch(pa));
    return stage2_.refine(stretch(p1));
  }

  void predict(const History& h, MixerInput& in) noexcept {
    in[INPUT] = stretch(predict(h.c0, h.c1, h.c2, h.c3, h.bp));
  }

  // `c0` is the partial byte before `bit` is appended.
  void update(std::uint32_t bit, std::uint32_t c0, std::uint32_t bp) noexcept {
    stage2_.update(bit);
    stage1_.update(bit);
    state_map_.update(state0_, bit);
    table0_[slot_hash0_ & MASK] = state::next(state0_, bit);
    if (bp == 7) {
      const auto b = static_cast<std::uint8_t>((c0 << 1) | bit);
      token_len_ = isse::is_delimiter(b) ? 0 : (token_len_ < 255 ? token_len_ + 1 : 255);
    }
  }

  void update(const History& h, std::uint32_t bit) noexcept { update(bit, h.c0, h.bp); }

  // Starts loading the three slots of the next bit; `next` is the history
  // once this bit has been appended. Changes nothing.
  void prefetch(const History& next) const noexcept {
    std::uint32_t token_len = token_len_;
    if (next.bp == 0) {
      token_len = isse::is_delimiter(next.c1) ? 0 : (token_len < 255 ? token_len + 1 : 255);
    }
    __builtin_prefetch(&table0_[state::fnv(SEED0, token_len, next.c0, next.bp) & MASK]);
    __builtin_prefetch(&stage1_.table[state::fnv(SEED1, isse::classify(next.c1),
                                                 isse::classify(next.c2), next.c0, next.bp) &
                                      MASK]);
    __builtin_prefetch(&stage2_.table[state::fnv(SEED2, next.c1, next.c3, next.c0, next.bp) & MASK]);
  }

  std::uint32_t token_len() const noexcept { return token_len_; }
  const WeightPair& weights(int stage, std::uint8_t s) const noexcept {
    return (stage == 1 ? stage1_ : stage2_).weights[s];
  }
  std::uint32_t stage_output(int stage) const noexcept {
    return (stage == 1 ? stage1_ : stage2_).p;
  }

 private:
  // A refining stage: a weight pair per bit-history state.
  struct Stage {
    state::ZeroedTable<std::uint8_t> table;
    std::array<WeightPair, state::STATE_COUNT> weights{};
    std::uint32_t slot_hash = 0;
    std::uint8_t state = 0;
    std::int32_t input_stretch = 0;
    std::uint32_t p = 2048;

    void select(std::uint32_t hash) noexcept {
      slot_hash = hash;
      state = table[hash & MASK];
    }

    // x = (w0 * s + w1 * 64) >> 16, squashed; p stays in 1..4095.
    std::uint32_t refine(std::int32_t s) noexcept {
      input_stretch = s;
      const WeightPair& w = weights[state];
      const std::int64_t x = (std::int64_t{w.w0} * s + std::int64_t{w.w1} * 64) >> 16;
      std::uint32_t out = squash(static_cast<std::int32_t>(
          x < -8192 ? -8192 : (x > 8191 ? 8191 : x)));
      if (out < 1) out = 1;
      if (out > 4095) out = 4095;
      p = out;
      return out;
    }

    void update(std::uint32_t bit) noexcept {
      // Signed throughout: p is at most 4095, so err lies in -32760..32767.
      const std::int32_t err = static_cast<std::int32_t>(bit) * 32767 - 8 * static_cast<std::int32_t>(p);
      WeightPair& w = weights[state];
      w.w1 = clamp_weight(std::int64_t{w.w1} + ((err + 16) >> 5));
      w.w0 = clamp_weight(std::int64_t{w.w0} +
                          ((std::int64_t{err} * input_stretch + 4096) >> 13));
      table[slot_hash & MASK] = state::next(state, bit);
    }
  };

  static std::int32_t clamp_weight(std::int64_t w) noexcept {
    if (w < -WEIGHT_LIMIT) return -WEIGHT_LIMIT;
    if (w > WEIGHT_LIMIT) return WEIGHT_LIMIT;
    return static_cast<std::int32_t>(w);
  }

  std::uint32_t predict_base(std::uint32_t c0, std::uint32_t bp) noexcept {
    slot_hash0_ = state::fnv(SEED0, token_len_, c0, bp);
    state0_ = table0_[slot_hash0_ & MASK];
    return state_map_.p(state0_);
  }

  state::ZeroedTable<std::uint8_t> table0_;
  state::StateMap state_map_;
  std::uint32_t slot_hash0_ = 0;
  std::uint8_t state0_ = 0;
  Stage stage1_;
  Stage stage2_;
  std::uint32_t token_len_ = 0;
};

}  // namespace kelvane::mixer
