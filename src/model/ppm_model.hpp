// PpmModel: prediction by partial matching over whole bytes. For every
// context of the last 0 to 12 bytes it counts which bytes followed; once per
// byte it blends the counts of all orders, highest first and with exclusion,
// into one distribution over the 256 byte values (scale 2^20), and each bit
// is predicted from the share of that distribution still consistent with the
// bits of the byte coded so far.
// Memory: 13 tables of PpmEntry (150 bytes each), orders 0..12, with the
// entry counts of CMConfig's ppm_entries: 11,075,841 entries, about 1.55 GiB
// at full size. The tables are mapped zero pages, so only the entries a call
// touches cost memory.
// Input: MixerInput 25.
// Per bit: when the distribution is not ready (the first bit of a byte),
// compute_byte_probs(); then bit_probability(c0). At every byte end,
// before the engine shifts its history, update_byte(b) counts b in every
// usable order and marks the distribution stale.
//
// Order k's context hashes the k newest bytes, newest first; order 0 is the
// single entry with check 1. An entry belongs to the context whose 16-bit
// check it holds; a colliding context takes it over only while its total is
// at most 3.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kvn/error.hpp"
#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::model {

// The counts of one hashed context.
struct PpmEntry {
  static constexpr std::uint32_t CAPACITY = 48;
  static constexpr std::uint32_t HALVE_ABOVE = 4000;

  // What a lookup reads first leads, so that an entry with a few symbols
  // lies within its first 64 bytes.
  std::uint16_t check;                         // 0 marks an empty entry
  std::uint16_t total;                         // sum of the counts, saturating at 65535
  std::uint8_t len;                            // symbols in use (0..48)
  std::array<std::uint8_t, CAPACITY> symbols;  // in the order first seen
  std::array<std::uint16_t, CAPACITY> counts;  // count of each symbol

  // Counts `symbol`; a 49th distinct symbol is not counted.
  void increment(std::uint8_t symbol) noexcept;
  // Drops the symbols seen once and halves the other counts, in order.
  void halve() noexcept;
};

static_assert(sizeof(PpmEntry) == 150, "the tables' memory is counted at 150 bytes an entry");

class PpmModel {
 public:
  static constexpr std::size_t INPUT = mixer::MixerInput::PPM;
  static constexpr std::size_t ORDERS = 13;  // orders 0..12
  static constexpr std::uint32_t MAX_ORDER = ORDERS - 1;
  static constexpr std::uint32_t SCALE = 1u << 20;  // total mass of the distribution

  PpmModel() = default;

  static kvn::Result<PpmModel> with_config(const std::array<std::uint32_t, ORDERS>& entries);

  // Counts b in every usable order, then shifts it into the history.
  void update_byte(std::uint8_t b) noexcept;
  // Blends the counts of the current history into `distribution`.
  void compute_byte_probs() noexcept;

  // The probability (1..4095) that the next bit of the current byte is 1,
  // given the bits already coded in c0 (1 followed by them).
  std::uint32_t bit_probability(std::uint32_t c0) const noexcept {
    // Node c0 of the sum tree covers the bytes that begin with c0's bits;
    // its two children split them by the coming bit.
    const std::uint64_t s0 = tree_[2 * c0];
    const std::uint64_t s1 = tree_[2 * c0 + 1];
    if (s0 + s1 == 0) return 2048;
    std::uint64_t p = (s1 * 4096) / (s0 + s1);
    if (p > 4095) p = 4095;
    if (p == 0) p = 1;
    return static_cast<std::uint32_t>(p);
  }

  // The engine's per-bit step.
  void predict(const mixer::History& h, mixer::MixerInput& in) noexcept {
    if (!ready_) {
      compute_byte_probs();
      ready_ = true;
    }
    in[INPUT] = mixer::stretch(bit_probability(h.c0));
  }

  // Starts loading the entries the next byte's distribution will read, once
  // b has been coded. Changes nothing.
  void prefetch_after(std::uint8_t b) const noexcept;

  // The current byte's distribution: mass of every byte value, scale 2^20.
  std::span<const std::uint32_t, 256> distribution() const noexcept {
    return std::span<const std::uint32_t, 256>(tree_.data() + 256, 256);
  }
  const PpmEntry& entry(std::uint32_t order, std::uint32_t index) const noexcept {
    return tables_[order][index & masks_[order]];
  }
  std::uint32_t bytes_seen() const noexcept { return bytes_seen_; }
  bool ready() const noexcept { return ready_; }

 private:
  struct Context {
    std::uint32_t index;
    std::uint16_t check;
  };

  // The contexts of orders 0..min(bytes_seen, 12) over `history` (newest
  // first); returns how many there are.
  std::uint32_t contexts(const std::uint8_t* history, std::array<Context, ORDERS>& out) const noexcept;

  std::array<state::ZeroedTable<PpmEntry>, ORDERS> tables_;
  std::array<std::uint32_t, ORDERS> masks_{};
  // The distribution and its partial sums: tree_[256 + v] is the mass of
  // byte v, tree_[i] = tree_[2i] + tree_[2i + 1] for i = 1..255.
  std::array<std::uint32_t, 512> tree_{};
  std::array<std::uint8_t, MAX_ORDER> history_{};  // the last 12 bytes, newest first
  std::uint32_t bytes_seen_ = 0;
  bool ready_ = false;
};

}  // namespace kelvane::model
