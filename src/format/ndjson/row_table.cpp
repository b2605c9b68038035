#include "format/ndjson/row_table.hpp"

#include <cstring>

#include "format/span_index.hpp"

namespace kelvane::format::ndjson {

RowTable::RowTable(kvn::ByteSpan input, const std::vector<kvn::ByteSpan>& rows, RowParser parse)
    : base_(input.data()), rows_(rows) {
  first_.reserve(rows.size() + 1);
  first_.push_back(0);
  ParsedLine parsed;
  for (const kvn::ByteSpan row : rows) {
    if (parse(row, parsed)) {
      for (const kvn::ByteSpan value : parsed.values) {
        const auto start = static_cast<std::uint32_t>(value.data() - base_);
        bounds_.push_back(start);
        bounds_.push_back(start + static_cast<std::uint32_t>(value.size()));
      }
    }
    first_.push_back(static_cast<std::uint32_t>(bounds_.size()));
  }
}

kvn::ByteSpan RowTable::piece(std::size_t i, std::size_t p) const noexcept {
  const kvn::ByteSpan row = rows_[i];
  const std::uint32_t* b = &bounds_[first_[i]];
  const std::size_t n = value_count(i);
  const std::uint8_t* start = p == 0 ? row.data() : base_ + b[2 * p - 1];
  const std::uint8_t* end = p == n ? row.data() + row.size() : base_ + b[2 * p];
  return kvn::ByteSpan(start, static_cast<std::size_t>(end - start));
}

ObjectSkeleton RowTable::skeleton(std::size_t i) const {
  ObjectSkeleton pieces;
  pieces.reserve(value_count(i) + 1);
  for (std::size_t p = 0; p <= value_count(i); ++p) pieces.push_back(piece(i, p));
  return pieces;
}

std::vector<Column> RowTable::columns(std::span<const std::uint32_t> rows) const {
  std::vector<Column> columns(value_count(rows[0]));
  for (auto& column : columns) column.reserve(rows.size());
  for (const std::uint32_t row : rows) {
    for (std::size_t c = 0; c < columns.size(); ++c) columns[c].push_back(value(row, c));
  }
  return columns;
}

std::uint64_t RowTable::shape_hash(std::size_t i) const noexcept {
  std::uint64_t h = value_count(i);
  for (std::size_t p = 0; p <= value_count(i); ++p) h = combine_hashes(h, hash_bytes(piece(i, p)));
  return h;
}

bool RowTable::same_shape(std::size_t a, std::size_t b) const noexcept {
  if (value_count(a) != value_count(b)) return false;
  for (std::size_t p = 0; p <= value_count(a); ++p) {
    const kvn::ByteSpan x = piece(a, p);
    const kvn::ByteSpan y = piece(b, p);
    if (x.size() != y.size() || (!x.empty() && std::memcmp(x.data(), y.data(), x.size()) != 0)) {
      return false;
    }
  }
  return true;
}

KeyClasses shape_classes(const RowTable& table) {
  return classify_rows(
      table, [&](std::size_t i) { return table.shape_hash(i); },
      [&](std::size_t a, std::size_t b) { return table.same_shape(a, b); });
}

std::optional<RowGroups> form_groups(const KeyClasses& classes, std::size_t min_rows,
                                     std::size_t max_groups) {
  constexpr std::uint32_t kNone = KeyClasses::kNone;
  RowGroups out;
  std::vector<std::uint32_t> group_of(classes.size.size(), kNone);
  out.start = {0};
  for (std::size_t c = 0; c < classes.size.size(); ++c) {
    if (classes.size[c] < min_rows) continue;
    if (out.start.size() > max_groups) return std::nullopt;
    group_of[c] = static_cast<std::uint32_t>(out.start.size() - 1);
    out.start.push_back(out.start.back() + classes.size[c]);
  }
  out.rows.resize(out.start.back());
  std::vector<std::uint32_t> fill(out.start.begin(), out.start.end() - 1);
  for (std::size_t i = 0; i < classes.of_row.size(); ++i) {
    const std::uint32_t c = classes.of_row[i];
    const std::uint32_t g = c == kNone ? kNone : group_of[c];
    if (g == kNone) {
      out.residual.push_back(static_cast<std::uint32_t>(i));
    } else {
      out.rows[fill[g]++] = static_cast<std::uint32_t>(i);
    }
  }
  return out;
}

}  // namespace kelvane::format::ndjson
