// The forward Grouped layout. Lines are sorted into exact key classes with
// one hash map from a 64-bit key hash to the newest class of that hash
// (older classes of the same hash chained behind it), so bytes are compared
// only on a hash hit. Classes are numbered in the order of their first line,
// which is the order of the groups: nothing depends on the map's order.
#include "format/ndjson/grouped.hpp"

#include <cstring>
#include <limits>
#include <span>

#include "format/span_index.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::uint64_t kMaxField = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint8_t kLf = 0x0A;

// Second pass: each shape class split by the value of column d; lines
// without that column stay keyed by their skeleton alone.
KeyClasses refine_by_column(const RowTable& table, const KeyClasses& shapes, std::size_t d) {
  const auto hash_of = [&](std::size_t i) {
    const std::uint64_t shape = combine_hashes(0, shapes.of_row[i]);
    if (table.value_count(i) <= d) return shape;
    return combine_hashes(shape, hash_bytes(table.value(i, d)));
  };
  const auto same_key = [&](std::size_t a, std::size_t b) {
    if (shapes.of_row[a] != shapes.of_row[b]) return false;
    if (table.value_count(a) <= d) return true;  // one shape: both lack the column
    const kvn::ByteSpan x = table.value(a, d);
    const kvn::ByteSpan y = table.value(b, d);
    return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size()) == 0;
  };
  return classify_rows(table, hash_of, same_key);
}

// One group's layout: Uniform with nesting when every column is columnar,
// else Selective; the trailing-newline flag clear, no size test.
GroupOutput build_group(const RowTable& table, std::span<const std::uint32_t> rows) {
  const auto n = static_cast<std::uint32_t>(rows.size());
  const ObjectSkeleton pieces = table.skeleton(rows[0]);
  std::vector<Column> columns = table.columns(rows);
  const std::vector<std::uint8_t> classes = classify_columns(columns, n);
  bool all_columnar = true;
  for (const auto c : classes) all_columnar = all_columnar && c == kClassColumnar;
  Layout layout;
  if (all_columnar) {
    layout = build_uniform_columnar(pieces, columns, n, false);
    columns.clear();
    columns.shrink_to_fit();
    apply_nesting_step(layout, n);
  } else {
    layout = build_selective_columnar(pieces, columns, classes, n, false);
  }
  return GroupOutput{rows, std::move(layout.text), std::move(layout.metadata)};
}

// Writes the Grouped layout of the groups `classes` form.
std::optional<Layout> write_groups(const RowTable& table, const KeyClasses& classes,
                                   bool trailing_newline, std::uint64_t size_limit) {
  const std::size_t lines = table.size();
  const auto formed = form_groups(classes, kMinGroupRows, kMaxGroups);
  if (!formed || formed->count() == 0) return std::nullopt;
  const std::size_t groups = formed->count();
  const std::vector<std::uint32_t>& residual = formed->residual;

  Layout out;
  out.metadata.reserve(8 + 8 * groups + 4 * lines + 4);
  kvn::append_u8(out.metadata, static_cast<std::uint8_t>(ColumnarLayout::Grouped));
  kvn::append_u8(out.metadata, trailing_newline ? 1 : 0);
  kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(lines));
  kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(groups));
  out.text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size_limit, kMaxField)));
  const auto reached_limit = [&] { return out.text.size() + out.metadata.size() >= size_limit; };

  for (std::size_t g = 0; g < groups; ++g) {
    const GroupOutput group = build_group(table, formed->group(g));
    if (group.text.size() > kMaxField || group.metadata.size() > kMaxField) return std::nullopt;
    kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(group.rows.size()));
    for (const std::uint32_t row : group.rows) kvn::append_u32_le(out.metadata, row);
    kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(group.metadata.size()));
    kvn::append_bytes(out.metadata, group.metadata);
    kvn::append_u32_le(out.text, static_cast<std::uint32_t>(group.text.size()));
    kvn::append_bytes(out.text, group.text);
    if (reached_limit()) return std::nullopt;
  }

  kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(residual.size()));
  for (std::size_t k = 0; k < residual.size(); ++k) {
    kvn::append_u32_le(out.metadata, residual[k]);
    if (k != 0) out.text.push_back(kLf);
    kvn::append_bytes(out.text, table.row(residual[k]));
  }
  if (reached_limit()) return std::nullopt;
  return out;
}

}  // namespace

std::optional<Layout> preprocess_grouped_core(const RowTable& table, bool trailing_newline,
                                              std::optional<std::size_t> discriminator,
                                              std::uint64_t size_limit) {
  const KeyClasses shapes = shape_classes(table);
  if (!discriminator) return write_groups(table, shapes, trailing_newline, size_limit);
  return write_groups(table, refine_by_column(table, shapes, *discriminator), trailing_newline,
                      size_limit);
}

std::optional<Layout> preprocess_grouped(const RowTable& table, bool trailing_newline,
                                         std::uint64_t input_length) {
  if (table.size() < kMinGroupRows) return std::nullopt;
  const KeyClasses shapes = shape_classes(table);
  std::optional<Layout> plain = write_groups(table, shapes, trailing_newline, input_length);
  if (const auto column = find_discriminator_column(table)) {
    const KeyClasses refined = refine_by_column(table, shapes, *column);
    // The same classes give the same layout, which would not be smaller.
    if (refined.size.size() != shapes.size.size()) {
      const std::uint64_t limit =
          plain ? plain->text.size() + plain->metadata.size() : input_length;
      if (auto split = write_groups(table, refined, trailing_newline, limit)) return split;
    }
  }
  return plain;
}

}  // namespace kelvane::format::ndjson
