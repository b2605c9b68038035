// Every row of a columnar input (an NDJSON line, or an element of a JSON
// array) cut once into its skeleton and values, kept as offsets into the
// input. The single-shape route, the DiscriminatorColumn sample, every
// grouping pass and the group layouts all read this one parse: no row is
// cut twice and no value is copied.
//
// Memory: 8 bytes per value and 4 per row, beside the caller's row spans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "format/ndjson/ndjson.hpp"

namespace kelvane::format::ndjson {

// Cuts one row into pieces and values; false when it does not parse.
using RowParser = bool (*)(kvn::ByteSpan row, ParsedLine& out);

class RowTable {
 public:
  // Parses every row (views into `input`, which is below 4 GiB); `rows`
  // must outlive the table.
  RowTable(kvn::ByteSpan input, const std::vector<kvn::ByteSpan>& rows,
           RowParser parse = parse_line_into);

  std::size_t size() const noexcept { return rows_.size(); }
  kvn::ByteSpan row(std::size_t i) const noexcept { return rows_[i]; }
  bool parsable(std::size_t i) const noexcept { return first_[i + 1] != first_[i]; }
  std::size_t value_count(std::size_t i) const noexcept { return (first_[i + 1] - first_[i]) / 2; }

  kvn::ByteSpan value(std::size_t i, std::size_t c) const noexcept {
    const std::uint32_t* b = &bounds_[first_[i] + 2 * c];
    return kvn::ByteSpan(base_ + b[0], b[1] - b[0]);
  }
  // Piece p of a parsable row, 0 <= p <= value_count(i).
  kvn::ByteSpan piece(std::size_t i, std::size_t p) const noexcept;

  // The pieces of a parsable row.
  ObjectSkeleton skeleton(std::size_t i) const;
  // One column per value of parsable row rows[0], holding that value of
  // each of `rows` (which all share its shape).
  std::vector<Column> columns(std::span<const std::uint32_t> rows) const;
  // A hash of the skeleton of a parsable row: rows of one shape share it.
  std::uint64_t shape_hash(std::size_t i) const noexcept;
  // True when two parsable rows have the same shape (pieces byte-equal).
  bool same_shape(std::size_t a, std::size_t b) const noexcept;

 private:
  const std::uint8_t* base_;
  const std::vector<kvn::ByteSpan>& rows_;
  // Row i's values are bounds_[first_[i] .. first_[i+1]): start and end
  // offsets into the input, two per value; none when it is not parsable.
  // Every value takes at least four bytes of the input with its key, so the
  // bounds of an input below 4 GiB count below 2^31.
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> bounds_;
};

// The parsable rows sorted into classes of equal key, numbered in the order
// of their first row (so nothing depends on a hash map's order).
struct KeyClasses {
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<std::uint32_t> of_row;     // per row; kNone when not parsable
  std::vector<std::uint32_t> first_row;  // per class
  std::vector<std::uint32_t> size;       // per class
};

// Sorts the parsable rows by key: one map from the 64-bit key hash to the
// newest class of that hash (older classes of the hash chained behind it),
// bytes compared by `same_key(row, first row of a class)` only on a hit.
template <class Hash, class SameKey>
KeyClasses classify_rows(const RowTable& table, Hash hash_of, SameKey same_key) {
  constexpr std::uint32_t kNone = KeyClasses::kNone;
  KeyClasses k;
  k.of_row.assign(table.size(), kNone);
  std::unordered_map<std::uint64_t, std::uint32_t> newest;
  std::vector<std::uint32_t> older;  // per class: the previous class of its hash
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (!table.parsable(i)) continue;
    auto [slot, inserted] = newest.try_emplace(hash_of(i), kNone);
    std::uint32_t c = slot->second;
    while (c != kNone && !same_key(i, k.first_row[c])) c = older[c];
    if (c == kNone) {
      c = static_cast<std::uint32_t>(k.first_row.size());
      k.first_row.push_back(static_cast<std::uint32_t>(i));
      k.size.push_back(0);
      older.push_back(slot->second);
      slot->second = c;
    }
    k.of_row[i] = c;
    ++k.size[c];
  }
  return k;
}

// Folds the hash `h` of one more part of a key into the hash of the key so
// far.
constexpr std::uint64_t combine_hashes(std::uint64_t seed, std::uint64_t h) noexcept {
  seed = (seed ^ h) * 0x9E3779B97F4A7C15ull;
  return seed ^ (seed >> 32);
}

// Rows keyed by their skeleton.
KeyClasses shape_classes(const RowTable& table);

// The classes of at least a minimum size as groups, in class order (the
// order of their first row), each with its rows in order; the rows of the
// other classes, and those not parsable, are the residual rows.
struct RowGroups {
  std::vector<std::uint32_t> start;  // group g holds rows[start[g] .. start[g + 1])
  std::vector<std::uint32_t> rows;
  std::vector<std::uint32_t> residual;  // ascending

  std::size_t count() const noexcept { return start.size() - 1; }
  std::span<const std::uint32_t> group(std::size_t g) const noexcept {
    return std::span<const std::uint32_t>(rows).subspan(start[g], start[g + 1] - start[g]);
  }
};

// Nothing when more than `max_groups` groups would form.
std::optional<RowGroups> form_groups(const KeyClasses& classes, std::size_t min_rows,
                                     std::size_t max_groups);

}  // namespace kelvane::format::ndjson
