// Apm: an adaptive probability map that refines a probability under a small
// context and blends the refined value with its input.
// Memory: row_count rows of 65 points; point j of a row stands for the input
// probability 4095 * j / 64 and starts on the identity ramp. Points always lie
// in 1..4095, so they are kept in 16 bits (130 bytes a row).
// Inputs: a probability p (1..4095) and an unsigned context.
// Per bit: refine(p, ctx) before the bit records the row and the lower point
// of the interpolation; update(bit) after it moves those two points.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "kvn/error.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::mixer {

class Apm {
 public:
  static constexpr std::uint32_t POINTS = 65;

  // Every row starts as this ramp: point 0 = 1, point j = (4095 j + 32) / 64
  // capped at 4095.
  static constexpr std::array<std::uint16_t, POINTS> INITIAL_ROW = [] {
    std::array<std::uint16_t, POINTS> row{};
    row[0] = 1;
    for (std::uint32_t j = 1; j < POINTS; ++j) {
      const std::uint32_t v = (4095 * j + 32) / 64;
      row[j] = static_cast<std::uint16_t>(v < 4095 ? v : 4095);
    }
    return row;
  }();

  // An empty map, only to be assigned from create().
  Apm() = default;

  // `row_count` >= 1 rows; `weight` (0..256) is the share out of 256 of the
  // map's output in the result.
  static kvn::Result<Apm> create(std::uint32_t row_count, std::uint32_t weight) {
    KVN_RETURN_ERROR_IF(row_count == 0 || weight > 256, Other, "invalid adaptive map shape");
    KVN_ASSIGN_OR_RETURN(auto points, state::ZeroedTable<std::uint16_t>::allocate(
                                          std::size_t{row_count} * POINTS));
    for (std::size_t r = 0; r < row_count; ++r) {
      std::memcpy(&points[r * POINTS], INITIAL_ROW.data(), sizeof INITIAL_ROW);
    }
    Apm apm;
    apm.points_ = std::move(points);
    apm.row_count_ = row_count;
    apm.weight_ = weight;
    apm.power_of_two_ = std::has_single_bit(row_count);
    return apm;
  }

  // The row the context selects: ctx mod row_count (a mask gives the same
  // remainder for power-of-two counts).
  std::uint32_t row_of(std::uint32_t ctx) const noexcept {
    return power_of_two_ ? (ctx & (row_count_ - 1)) : ctx % row_count_;
  }

  // Asks the cache for the row a coming refine(p, ctx) will read.
  void prefetch(std::uint32_t ctx) const noexcept {
    const char* row = reinterpret_cast<const char*>(&points_[std::size_t{row_of(ctx)} * POINTS]);
    for (std::size_t offset = 0; offset < POINTS * sizeof(std::uint16_t); offset += 64) {
      __builtin_prefetch(row + offset);
    }
  }

  std::uint32_t refine(std::uint32_t p, std::uint32_t ctx) noexcept {
    row_ = row_of(ctx);
    const std::uint64_t scaled = std::uint64_t{64} * p;
    const std::uint64_t q = scaled / 4095;
    bin_ = q < 63 ? static_cast<std::uint32_t>(q) : 63;
    const auto frac = static_cast<std::int64_t>(scaled - 4095 * q);  // from the unclamped q
    const std::uint16_t* point = &points_[std::size_t{row_} * POINTS + bin_];
    const std::int64_t lo = point[0];
    const std::int64_t hi = point[1];
    std::int64_t out = lo + ((hi - lo) * frac) / 4095;  // truncates toward zero
    if (out < 1) out = 1;
    if (out > 4095) out = 4095;
    std::uint64_t result =
        (static_cast<std::uint64_t>(out) * weight_ + std::uint64_t{p} * (256 - weight_)) >> 8;
    if (result > 4095) result = 4095;
    if (result == 0) result = 1;
    return static_cast<std::uint32_t>(result);
  }

  void update(std::uint32_t bit) noexcept {
    const std::int32_t target = bit ? 4095 : 1;
    std::uint16_t* point = &points_[std::size_t{row_} * POINTS + bin_];
    point[0] = move_toward(point[0], target, 4);
    point[1] = move_toward(point[1], target, 5);
  }

  std::uint32_t row_count() const noexcept { return row_count_; }
  std::uint32_t weight() const noexcept { return weight_; }
  std::uint32_t row() const noexcept { return row_; }
  std::uint32_t bin() const noexcept { return bin_; }
  std::uint32_t point(std::uint32_t row, std::uint32_t j) const noexcept {
    return points_[std::size_t{row} * POINTS + j];
  }

 private:
  // v + ((target - v) >> shift), the shift arithmetic (rounds toward minus
  // infinity), kept inside 1..4095.
  static std::uint16_t move_toward(std::int32_t v, std::int32_t target, int shift) noexcept {
    std::int32_t moved = v + ((target - v) >> shift);
    if (moved < 1) moved = 1;
    if (moved > 4095) moved = 4095;
    return static_cast<std::uint16_t>(moved);
  }

  state::ZeroedTable<std::uint16_t> points_;
  std::uint32_t row_count_ = 0;
  std::uint32_t weight_ = 0;
  bool power_of_two_ = false;
  std::uint32_t row_ = 0;
  std::uint32_t bin_ = 0;
};

}  // namespace kelvane::mixer
