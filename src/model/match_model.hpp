// MatchModel: the long-repeat predictor. A ring keeps a value for every
// byte coded so far and a hashed table keeps ring positions; at each byte
// boundary up to four candidates are looked up and verified against the
// ring, the longest is followed through the byte, and each bit is predicted
// as the bit of the byte after the candidate, more strongly the longer the
// match.
//
// What the ring stores is c0 just before a byte's last bit, that is
// 0x80 | (byte >> 1), while lookups and checks use the true bytes c1..c3. A
// stored value equals its byte only for 0xFF, so matches arise in runs of
// 0xFF and similar high-byte data, and input below 0x80 never matches. The
// coded stream depends on exactly this, so it is kept as it is.
//
// Memory: `history` of match_history_size bytes and `table` of
// match_table_entries u32 (CMConfig fields 9 and 10), both zeroed; 0 in the
// table stands both for an empty slot and for position 0.
// Input: MixerInput 19; its match length also gives the mixer's and the Apm
// chain's match bucket.
// Per bit: at a byte boundary find_match(c1, c2, c3) (before the byte's first
// prediction); predict(bp); after the bit update(bit, bp, c0, c1, c2), which
// follows the match and, at the byte's last bit, stores the ring value and
// three table keys.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

class MatchModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::MATCH;
  static constexpr std::uint32_t ALT_SEED = 0x9E3779B9u;  // seed of the fourth key
  static constexpr std::uint32_t MAX_VERIFY = 128;        // bytes compared beyond a candidate

  MatchModel() = default;

  static kvn::Result<MatchModel> create(std::uint32_t history_size, std::uint32_t table_entries);

  // Looks up the candidates for the byte about to be coded; c1..c3 are the
  // last three coded bytes.
  void find_match(std::uint8_t c1, std::uint8_t c2, std::uint8_t c3) noexcept;

  // Verifies the candidate position `candidate` and keeps it in the caller's
  // best pair when its length is strictly greater.
  void check_candidate(std::uint32_t candidate, std::uint8_t c1, std::uint8_t c2, std::uint8_t c3,
                       std::int64_t& best_ptr, std::uint32_t& best_len) const noexcept;

  // Prediction strength (distance from 2048) of a match of length `len` >= 2.
  static constexpr std::uint32_t strength(std::uint32_t len) noexcept {
    std::uint32_t s = 4120;
    if (len <= 3) {
      s = 80 * len;
    } else if (len <= 8) {
      s = 200 * len - 360;
    } else if (len <= 32) {
      s = 120 * len + 280;
    }
    return s < 3800 ? s : 3800;
  }

  std::uint32_t predict(std::uint32_t bp) noexcept {
    std::uint32_t p = 2048;
    if (match_ptr_ >= 0 && match_len_ >= 2) {
      const std::uint32_t expected = (ring(static_cast<std::uint32_t>(match_ptr_)) >> (7 - bp)) & 1u;
      const std::uint32_t s = strength(match_len_);
      if (expected) {
        p = 2048 + s < 4095 ? 2048 + s : 4095;
      } else {
        p = s < 2048 ? 2048 - s : 0;
        if (p == 0) p = 1;
      }
    }
    prediction_ = p;
    return p;
  }

  // The engine's per-bit step: the byte-boundary lookup, then input 19.
  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (h.bp == 0) find_match(h.c1, h.c2, h.c3);
    in[INPUT] = mixer::stretch(predict(h.bp));
  }

  // `c0` is the partial byte before `bit` is appended; c1, c2 the bytes
  // before the current one.
  void update(std::uint32_t bit, std::uint32_t bp, std::uint32_t c0, std::uint8_t c1,
              std::uint8_t c2) noexcept {
    if (match_ptr_ >= 0) {
      const std::uint32_t expected =
          (ring(static_cast<std::uint32_t>(match_ptr_)) >> (7 - bit_index_)) & 1u;
      if (expected == bit) {
        if (++bit_index_ == 8) {
          bit_index_ = 0;
          match_ptr_ = (match_ptr_ + 1) & ring_mask_;
          ++match_len_;
        }
      } else {
        match_ptr_ = -1;
        bit_index_ = 0;
        match_len_ = 0;
      }
    }
    if (bp == 7) store(static_cast<std::uint8_t>(c0), c1, c2);
  }

  void update(const mixer::History& h, std::uint32_t bit) noexcept {
    update(bit, h.bp, h.c0, h.c1, h.c2);
  }

  // Starts loading the table slots of the next byte's lookup once this bit
  // ends the byte; `next` is the history after the bit. Changes nothing.
  void prefetch(const mixer::History& next) const noexcept;

  // The match bucket of the coming bit: 0 without a match of length 2 or more.
  std::uint32_t bucket() const noexcept {
    return match_ptr_ < 0 ? 0 : mixer::match_bucket(match_len_);
  }

  std::int64_t match_ptr() const noexcept { return match_ptr_; }
  std::uint32_t match_len() const noexcept { return match_len_; }
  std::uint32_t prediction() const noexcept { return prediction_; }
  std::uint32_t write_pos() const noexcept { return write_pos_; }
  std::uint32_t bytes_seen() const noexcept { return bytes_seen_; }
  std::uint8_t ring(std::uint32_t i) const noexcept { return history_[i & ring_mask_]; }
  std::uint32_t slot(std::uint32_t key) const noexcept { return table_[key & table_mask_]; }

 private:
  // The byte's last bit: the ring value v = c0 and the keys that lead to it.
  void store(std::uint8_t v, std::uint8_t c1, std::uint8_t c2) noexcept;

  std::uint32_t& table_slot(std::uint32_t key) noexcept { return table_[key & table_mask_]; }

  std::int64_t match_ptr_ = -1;  // ring position of the byte predicted next; -1 without a match
  state::ZeroedTable<std::uint8_t> history_;
  state::ZeroedTable<std::uint32_t> table_;
  std::uint32_t ring_mask_ = 0;
  std::uint32_t table_mask_ = 0;
  std::uint32_t write_pos_ = 0;
  std::uint32_t bytes_seen_ = 0;
  std::uint32_t match_len_ = 0;
  std::uint32_t prediction_ = 2048;
  std::uint8_t bit_index_ = 0;  // bits of the current byte confirmed against the match
};

}  // namespace kelvane::model
