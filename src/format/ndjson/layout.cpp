// The forward NDJSON transform: line splitting, the single-shape route, the
// column classes and the Uniform and Selective builders. Pieces, values and
// columns are views into the input; only the output text and metadata are
// written, each with an exact reservation.
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "format/ndjson/grouped.hpp"
#include "format/ndjson/row_table.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/write.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint64_t kMaxInput = std::uint64_t{1} << 32;

std::string_view as_view(kvn::ByteSpan bytes) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::size_t value_bytes(const Column& column) noexcept {
  std::size_t total = 0;
  for (const auto& value : column) total += value.size();
  return total;
}

// Bytes of one column in ColumnarText, separators between its values included.
std::size_t columnar_bytes(const Column& column) noexcept {
  return value_bytes(column) + (column.empty() ? 0 : column.size() - 1);
}

void append_span(kvn::Bytes& out, kvn::ByteSpan bytes) {
  if (!bytes.empty()) out.insert(out.end(), bytes.begin(), bytes.end());
}

// Bytes of the ColumnarText of the listed columns.
std::size_t columnar_size(const std::vector<const Column*>& columns) noexcept {
  std::size_t size = columns.empty() ? 0 : columns.size() - 1;
  for (const Column* column : columns) size += columnar_bytes(*column);
  return size;
}

// Writes the ColumnarText of the listed columns, each holding `rows` values,
// at `w` (room for columnar_size bytes). The values are written in row
// order, one write position per column, so the input is read front to back
// once instead of once per column.
void put_columnar(std::uint8_t* w, const std::vector<const Column*>& columns, std::uint32_t rows) {
  std::vector<std::uint8_t*> cursor(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c != 0) *w++ = COLUMN_SEPARATOR;
    cursor[c] = w;
    w += columnar_bytes(*columns[c]);
  }
  for (std::uint32_t j = 0; j < rows; ++j) {
    for (std::size_t c = 0; c < columns.size(); ++c) {
      if (j != 0) *cursor[c]++ = VALUE_SEPARATOR;
      put(cursor[c], (*columns[c])[j]);
    }
  }
}

std::size_t pieces_bytes(const ObjectSkeleton& pieces) noexcept {
  std::size_t total = 0;
  for (const auto& piece : pieces) total += 2 + piece.size();
  return total;
}

void append_pieces(kvn::Bytes& out, const ObjectSkeleton& pieces) {
  kvn::append_u16_le(out, static_cast<std::uint16_t>(pieces.size()));
  for (const auto& piece : pieces) {
    kvn::append_u16_le(out, static_cast<std::uint16_t>(piece.size()));
    append_span(out, piece);
  }
}

// The lines of the input: cut at every LF, the stretch after the last LF a
// line only when non-empty. Gives false when a line is empty.
bool split_lines(kvn::ByteSpan input, std::vector<kvn::ByteSpan>& lines) {
  const std::uint8_t* const begin = input.data();
  const std::uint8_t* const end = begin + input.size();
  const std::uint8_t* p = begin;
  while (p < end) {
    const void* found = std::memchr(p, kLf, static_cast<std::size_t>(end - p));
    const std::uint8_t* stop = found ? static_cast<const std::uint8_t*>(found) : end;
    if (stop == p) return false;
    lines.emplace_back(p, static_cast<std::size_t>(stop - p));
    p = found ? stop + 1 : end;
  }
  return true;
}

// The single-shape route: every line parses and has line 0's shape. Fills
// the pieces of line 0 and one column per value.
bool gather_single_shape(const RowTable& table, ObjectSkeleton& pieces,
                         std::vector<Column>& columns) {
  const std::size_t rows = table.size();
  for (std::size_t i = 0; i < rows; ++i) {
    if (!table.parsable(i) || (i > 0 && !table.same_shape(i, 0))) return false;
  }
  pieces = table.skeleton(0);
  std::vector<std::uint32_t> all(rows);
  for (std::size_t i = 0; i < rows; ++i) all[i] = static_cast<std::uint32_t>(i);
  columns = table.columns(all);
  return true;
}

}  // namespace

std::vector<std::uint8_t> classify_columns(const std::vector<Column>& columns,
                                           std::uint32_t row_count) {
  std::vector<std::uint8_t> classes(columns.size(), kClassColumnar);
  if (row_count < 10) return classes;
  std::unordered_set<std::string_view> distinct;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    const Column& column = columns[c];
    // The mean length test is cheap and settles most columns without a hash set.
    if (value_bytes(column) / row_count < 128) continue;
    distinct.clear();
    distinct.reserve(column.size());
    for (const auto& value : column) {
      distinct.insert(as_view(value));
      if (static_cast<double>(distinct.size()) / row_count > 0.7) break;  // only grows
    }
    if (static_cast<double>(distinct.size()) / row_count > 0.7) classes[c] = kClassRowWise;
  }
  return classes;
}

kvn::Bytes build_columnar_text(const std::vector<Column>& columns, std::uint32_t row_count) {
  std::vector<const Column*> all;
  all.reserve(columns.size());
  for (const auto& column : columns) all.push_back(&column);
  kvn::Bytes text(columnar_size(all));
  put_columnar(text.data(), all, row_count);
  return text;
}

Layout build_uniform_columnar(const ObjectSkeleton& pieces, const std::vector<Column>& columns,
                              std::uint32_t row_count, bool trailing_newline) {
  Layout out;
  out.text = build_columnar_text(columns, row_count);
  // The caller appends the nested block, usually a single byte.
  out.metadata.reserve(10 + pieces_bytes(pieces) + 1);
  kvn::append_u8(out.metadata, static_cast<std::uint8_t>(ColumnarLayout::Uniform));
  kvn::append_u32_le(out.metadata, row_count);
  kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(columns.size()));
  kvn::append_u8(out.metadata, trailing_newline ? 1 : 0);
  append_pieces(out.metadata, pieces);
  return out;
}

Layout build_selective_columnar(const ObjectSkeleton& pieces, const std::vector<Column>& columns,
                                const std::vector<std::uint8_t>& classes,
                                std::uint32_t row_count, bool trailing_newline) {
  std::vector<std::uint16_t> indices;
  std::vector<const Column*> columnar;
  std::vector<const Column*> row_wise;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (classes[c] == kClassColumnar) {
      indices.push_back(static_cast<std::uint16_t>(c));
      columnar.push_back(&columns[c]);
    } else {
      row_wise.push_back(&columns[c]);
    }
  }

  // [u32 length of A][A: ColumnarText of the columnar columns][B: the rows
  // of row-wise values, 0x01 between values, 0x00 between rows].
  const std::size_t a_size = columnar_size(columnar);
  std::size_t b_size = 0;
  if (!row_wise.empty() && row_count > 0) {
    b_size = (row_count - 1) + std::size_t{row_count} * (row_wise.size() - 1);
    for (const Column* column : row_wise) b_size += value_bytes(*column);
  }
  Layout out;
  out.text.reserve(4 + a_size + b_size);
  kvn::append_u32_le(out.text, static_cast<std::uint32_t>(a_size));
  out.text.resize(4 + a_size + b_size);
  put_columnar(out.text.data() + 4, columnar, row_count);
  std::uint8_t* w = out.text.data() + 4 + a_size;
  if (!row_wise.empty()) {
    for (std::uint32_t j = 0; j < row_count; ++j) {
      if (j != 0) *w++ = COLUMN_SEPARATOR;
      for (std::size_t i = 0; i < row_wise.size(); ++i) {
        if (i != 0) *w++ = VALUE_SEPARATOR;
        put(w, (*row_wise[i])[j]);
      }
    }
  }

  out.metadata.reserve(12 + 2 * indices.size() + pieces_bytes(pieces));
  kvn::append_u8(out.metadata, static_cast<std::uint8_t>(ColumnarLayout::Selective));
  kvn::append_u32_le(out.metadata, row_count);
  kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(columns.size()));
  kvn::append_u8(out.metadata, trailing_newline ? 1 : 0);
  kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(indices.size()));
  for (const auto c : indices) kvn::append_u16_le(out.metadata, c);
  append_pieces(out.metadata, pieces);
  return out;
}

std::optional<Layout> preprocess(kvn::ByteSpan input) {
  if (input.empty() || input.size() >= kMaxInput) return std::nullopt;
  const bool trailing_newline = input.back() == kLf;
  std::vector<kvn::ByteSpan> lines;
  if (!split_lines(input, lines) || lines.size() < 2) return std::nullopt;
  const auto row_count = static_cast<std::uint32_t>(lines.size());
  const std::uint64_t input_length = input.size();
  const RowTable table(input, lines);

  ObjectSkeleton pieces;
  std::vector<Column> columns;
  if (!gather_single_shape(table, pieces, columns)) {
    return preprocess_grouped(table, trailing_newline, input_length);
  }

  const std::vector<std::uint8_t> classes = classify_columns(columns, row_count);
  bool any_row_wise = false;
  for (const auto c : classes) any_row_wise = any_row_wise || c == kClassRowWise;

  if (any_row_wise) {
    Layout layout = build_selective_columnar(pieces, columns, classes, row_count, trailing_newline);
    const std::uint64_t size = layout.text.size() + layout.metadata.size();
    if (size * 100 <= input_length * 105) return layout;
  } else {
    Layout layout = build_uniform_columnar(pieces, columns, row_count, trailing_newline);
    if (layout.text.size() + layout.metadata.size() < input_length) {
      columns.clear();
      columns.shrink_to_fit();
      apply_nesting_step(layout, row_count);
      return layout;
    }
  }
  columns.clear();
  columns.shrink_to_fit();
  return preprocess_grouped(table, trailing_newline, input_length);
}

}  // namespace kelvane::format::ndjson
