// ColumnarText split into its columns and values in one pass: views into
// the text, so that every reader of the columns (schema inference, the
// column encoders) shares one split and nothing is allocated per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "kvn/bytes.hpp"

namespace kelvane::format {

inline constexpr std::uint8_t kColumnSeparator = 0x00;
inline constexpr std::uint8_t kValueSeparator = 0x01;

struct ColumnarValues {
  std::vector<kvn::ByteSpan> values;  // every value, column after column
  std::vector<std::size_t> starts;    // index of each column's first value, then values.size()

  std::size_t column_count() const noexcept { return starts.empty() ? 0 : starts.size() - 1; }
  std::span<const kvn::ByteSpan> column(std::size_t c) const noexcept {
    return std::span<const kvn::ByteSpan>(values).subspan(starts[c], starts[c + 1] - starts[c]);
  }
};

// Splits `text` at every 0x00 into columns and each column at every 0x01
// into values: k separators give k + 1 parts, so an empty column is one
// empty value and an empty text one column.
inline void split_columnar(kvn::ByteSpan text, ColumnarValues& out) {
  out.values.clear();
  out.starts.assign(1, 0);
  const std::uint8_t* const begin = text.data();
  const std::uint8_t* const end = begin + text.size();
  const std::uint8_t* value_start = begin;
  const auto cut = [&](const std::uint8_t* p) {
    out.values.emplace_back(value_start, p);
    if (*p == kColumnSeparator) out.starts.push_back(out.values.size());
    value_start = p + 1;
  };
  const std::uint8_t* p = begin;
  // Eight bytes at a time: a word none of whose bytes is below 2 holds no
  // separator (the classic test for a byte below n: (x - n*0x01..) & ~x & 0x80..).
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  for (; end - p >= 8; p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    if (((word - 2 * kOnes) & ~word & kHighs) == 0) continue;
    for (int i = 0; i < 8; ++i) {
      if (p[i] <= kValueSeparator) cut(p + i);
    }
  }
  for (; p != end; ++p) {
    if (*p <= kValueSeparator) cut(p);
  }
  out.values.emplace_back(value_start, end);
  out.starts.push_back(out.values.size());
}

}  // namespace kelvane::format
