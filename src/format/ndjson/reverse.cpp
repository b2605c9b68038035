// The reverse NDJSON transform: rebuilds the lines from a columnar text and
// its metadata. Nothing here fails: metadata or text that does not fit, or a
// rebuilt output beyond the budget, gives back a copy of the text, or of the
// text it unflattened first (the container's CRC-32 and size checks then
// report the damage).
//
// Every count read from metadata is checked against the text before memory
// is sized from it: the text is validated first (separator counts), then the
// exact output size is computed in checked 64-bit arithmetic and compared
// with the budget, and only then is the output reserved and written.
#include <algorithm>
#include <cstring>

#include "format/ndjson/grouped.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/write.hpp"
#include "format/ndjson/nested.hpp"
#include "format/scan.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::uint8_t kLf = 0x0A;

// The first `b` in [begin, end), or nullptr. (memchr must not see the null
// pointer of an empty span.)
const std::uint8_t* find_byte(const std::uint8_t* begin, const std::uint8_t* end, std::uint8_t b) {
  if (begin == end) return nullptr;
  return static_cast<const std::uint8_t*>(std::memchr(begin, b, static_cast<std::size_t>(end - begin)));
}

// Reads `count` pieces (u16 length, then the bytes); false when one is cut.
bool read_pieces(kvn::ByteReader& reader, std::uint16_t count, std::vector<kvn::ByteSpan>& pieces) {
  if (!reader.has(std::uint64_t{count} * 2)) return false;
  pieces.clear();
  pieces.reserve(count);
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t length = 0;
    kvn::ByteSpan piece;
    if (!reader.read_u16(length) || !reader.read_bytes(length, piece)) return false;
    pieces.push_back(piece);
  }
  return true;
}

// A read position inside one column of a ColumnarText.
using Cursor = format::ValueCursor;

// Splits a ColumnarText into exactly `columns` columns of exactly `rows`
// values each; false otherwise. Gives one cursor per column.
bool split_columnar(kvn::ByteSpan text, std::size_t columns, std::uint32_t rows,
                    std::vector<Cursor>& cursors) {
  if (columns == 0 || rows == 0 || columns - 1 > text.size()) return false;
  cursors.clear();
  cursors.reserve(columns);
  const std::uint8_t* p = text.data();
  const std::uint8_t* const end = p + text.size();
  for (;;) {
    const std::uint8_t* sep = find_byte(p, end, COLUMN_SEPARATOR);
    const std::uint8_t* stop = sep ? sep : end;
    if (cursors.size() == columns) return false;  // more parts than columns
    if (format::count_byte(kvn::ByteSpan(p, stop), VALUE_SEPARATOR) != std::size_t{rows} - 1) return false;
    cursors.push_back({p, stop});
    if (sep == nullptr) break;
    p = stop + 1;
  }
  return cursors.size() == columns;
}

std::uint64_t pieces_length(const std::vector<kvn::ByteSpan>& pieces) {
  std::uint64_t total = 0;
  for (const auto& piece : pieces) total += piece.size();
  return total;
}

// values + rows * (total piece length) + one LF per row (less one when the
// flag is clear), or false when it overflows or exceeds the budget.
bool output_size(std::uint64_t value_bytes, std::uint64_t piece_bytes, std::uint32_t rows,
                 bool trailing_newline, std::uint64_t budget, std::uint64_t& size) {
  std::uint64_t repeated = 0;
  if (__builtin_mul_overflow(piece_bytes + 1, std::uint64_t{rows}, &repeated)) return false;
  if (__builtin_add_overflow(value_bytes, repeated, &size)) return false;
  if (!trailing_newline) --size;  // rows >= 1
  return size <= budget;
}

}  // namespace

std::optional<kvn::Bytes> rebuild_uniform_from_parts(kvn::ByteSpan text,
                                                     const std::vector<kvn::ByteSpan>& pieces,
                                                     std::uint32_t row_count,
                                                     std::uint16_t column_count,
                                                     bool trailing_newline, Budget budget) {
  std::vector<Cursor> cursors;
  if (pieces.size() != std::size_t{column_count} + 1 ||
      !split_columnar(text, column_count, row_count, cursors)) {
    return std::nullopt;
  }
  // Exact: the text minus its separators.
  const std::uint64_t value_bytes =
      text.size() - (column_count - 1) - std::uint64_t{column_count} * (row_count - 1);
  std::uint64_t size = 0;
  if (!output_size(value_bytes, pieces_length(pieces), row_count, trailing_newline,
                   budget.output(), size) ||
      !budget.take(size)) {
    return std::nullopt;
  }

  kvn::Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  for (std::uint32_t j = 0; j < row_count; ++j) {
    for (std::size_t c = 0; c < column_count; ++c) {
      put(w, pieces[c]);
      put(w, cursors[c].next());
    }
    put(w, pieces[column_count]);
    if (j + 1 < row_count || trailing_newline) *w++ = kLf;
  }
  return out;
}

std::optional<UniformMetadata> parse_uniform_metadata(kvn::ByteSpan metadata) {
  if (metadata.size() < 10) return std::nullopt;
  kvn::ByteReader reader(metadata);
  UniformMetadata out;
  std::uint8_t layout = 0;
  std::uint8_t flag = 0;
  std::uint16_t piece_count = 0;
  (void)reader.read_u8(layout);
  (void)reader.read_u32(out.row_count);
  (void)reader.read_u16(out.column_count);
  (void)reader.read_u8(flag);
  (void)reader.read_u16(piece_count);
  out.trailing_newline = flag != 0;
  if (piece_count == 0 || !read_pieces(reader, piece_count, out.pieces)) return std::nullopt;
  if (piece_count - 1 != out.column_count || out.row_count == 0 || out.column_count == 0) {
    return std::nullopt;
  }
  out.nested = reader.rest();
  return out;
}

UniformResult undo_uniform(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget,
                           bool shared_budget) {
  UniformResult result;
  const auto parsed = parse_uniform_metadata(metadata);
  if (!parsed) return result;
  const UniformMetadata& m = *parsed;
  std::optional<kvn::Bytes> unflattened;
  kvn::ByteSpan source = text;
  Budget lines_budget = budget;
  if (auto infos = deserialize_nested_info(m.nested)) {
    const std::size_t flat_columns = format::count_byte(text, COLUMN_SEPARATOR) + 1;
    unflattened = unflatten_nested_columns(text, infos->infos, m.row_count,
                                           static_cast<std::uint16_t>(flat_columns), budget);
    result.written = unflattened->size();
    if (shared_budget) {
      lines_budget = budget.with_output(budget.output() - std::min(budget.output(), result.written));
    }
    source = *unflattened;
  }
  if (auto lines = rebuild_uniform_from_parts(source, m.pieces, m.row_count, m.column_count,
                                              m.trailing_newline, lines_budget)) {
    result.written += lines->size();
    result.bytes = std::move(lines);
  } else {
    result.bytes = std::move(unflattened);
  }
  return result;
}

std::optional<SelectiveMetadata> parse_selective_metadata(kvn::ByteSpan metadata) {
  if (metadata.size() < 12) return std::nullopt;
  kvn::ByteReader reader(metadata);
  SelectiveMetadata out;
  std::uint8_t layout = 0;
  std::uint8_t flag = 0;
  std::uint16_t k = 0;
  (void)reader.read_u8(layout);
  (void)reader.read_u32(out.row_count);
  (void)reader.read_u16(out.column_count);
  (void)reader.read_u8(flag);
  (void)reader.read_u16(k);
  out.trailing_newline = flag != 0;
  if (!reader.has(std::uint64_t{k} * 2)) return std::nullopt;
  out.columnar_indices.resize(k);
  for (auto& index : out.columnar_indices) (void)reader.read_u16(index);
  std::uint16_t piece_count = 0;
  if (!reader.read_u16(piece_count) || piece_count == 0) return std::nullopt;
  if (!read_pieces(reader, piece_count, out.skeleton)) return std::nullopt;
  if (piece_count - 1 != out.column_count || out.row_count == 0 || out.column_count == 0) {
    return std::nullopt;
  }
  return out;
}

std::optional<kvn::Bytes> rebuild_selective(kvn::ByteSpan text, const SelectiveMetadata& metadata,
                                            Budget budget) {
  const std::uint32_t rows = metadata.row_count;
  const std::size_t n = metadata.column_count;
  const std::size_t k = metadata.columnar_indices.size();
  if (text.size() < 4 || metadata.skeleton.size() != n + 1 || rows == 0) return std::nullopt;
  const std::uint32_t a_length = kvn::load_u32_le(text.data());
  if (text.size() - 4 < a_length) return std::nullopt;
  const kvn::ByteSpan a = text.subspan(4, a_length);
  const kvn::ByteSpan b = text.subspan(4 + std::size_t{a_length});

  // Where each column's values come from: its place in A, or -1 (row-wise).
  if (k > n) return std::nullopt;
  std::vector<std::int32_t> place(n, -1);
  for (std::size_t p = 0; p < k; ++p) {
    const std::uint16_t c = metadata.columnar_indices[p];
    if (c >= n || place[c] != -1) return std::nullopt;
    place[c] = static_cast<std::int32_t>(p);
  }

  std::vector<Cursor> columnar;
  if (k > 0 && (a.empty() || !split_columnar(a, k, rows, columnar))) return std::nullopt;
  std::uint64_t value_bytes = k > 0 ? a.size() - (k - 1) - std::uint64_t{k} * (rows - 1) : 0;

  const std::size_t w = n - k;
  if (w > 0) {
    if (b.empty()) return std::nullopt;
    const std::uint8_t* const b_end = b.data() + b.size();
    const std::uint64_t zeros = format::count_byte(kvn::ByteSpan(b.data(), b_end), COLUMN_SEPARATOR);
    if (zeros != std::uint64_t{rows} - 1) return std::nullopt;
    std::uint64_t separators = zeros;
    if (w >= 2) {
      const std::uint64_t ones = format::count_byte(kvn::ByteSpan(b.data(), b_end), VALUE_SEPARATOR);
      if (ones != std::uint64_t{rows} * (w - 1)) return std::nullopt;
      separators += ones;
    }
    value_bytes += b.size() - separators;
  }
  std::uint64_t size = 0;
  if (!output_size(value_bytes, pieces_length(metadata.skeleton), rows, metadata.trailing_newline,
                   budget.output(), size) ||
      !budget.take(size)) {
    return std::nullopt;
  }

  kvn::Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* wr = out.data();
  const std::uint8_t* row_pos = b.data();
  const std::uint8_t* const b_end = b.data() + b.size();
  const auto& pieces = metadata.skeleton;
  for (std::uint32_t j = 0; j < rows; ++j) {
    // This row's part of B: up to the next 0x00.
    const std::uint8_t* part_end = b_end;
    if (w > 0) {
      if (const std::uint8_t* sep = find_byte(row_pos, b_end, COLUMN_SEPARATOR)) part_end = sep;
    }
    Cursor part{row_pos, part_end};
    std::size_t row_wise_taken = 0;
    put(wr, pieces[0]);
    for (std::size_t c = 0; c < n; ++c) {
      if (place[c] >= 0) {
        put(wr, columnar[static_cast<std::size_t>(place[c])].next());
      } else if (++row_wise_taken == w) {
        // The last row-wise value runs to the end of the part; with two or
        // more row-wise columns it must hold no further separator.
        if (w >= 2 && find_byte(part.pos, part.end, VALUE_SEPARATOR) != nullptr) return std::nullopt;
        put(wr, kvn::ByteSpan(part.pos, static_cast<std::size_t>(part.end - part.pos)));
      } else {
        const std::uint8_t* sep = find_byte(part.pos, part.end, VALUE_SEPARATOR);
        if (sep == nullptr) return std::nullopt;  // fewer values than row-wise columns
        put(wr, kvn::ByteSpan(part.pos, static_cast<std::size_t>(sep - part.pos)));
        part.pos = sep + 1;
      }
      put(wr, pieces[c + 1]);
    }
    if (j + 1 < rows || metadata.trailing_newline) *wr++ = kLf;
    row_pos = part_end < b_end ? part_end + 1 : b_end;
  }
  return out;
}

kvn::Bytes reverse_uniform_from_parts(kvn::ByteSpan text, const std::vector<kvn::ByteSpan>& pieces,
                                      std::uint32_t row_count, std::uint16_t column_count,
                                      bool trailing_newline, Budget budget) {
  auto rows = rebuild_uniform_from_parts(text, pieces, row_count, column_count, trailing_newline,
                                         budget);
  return rows ? std::move(*rows) : budget.copy_of(text);
}

kvn::Bytes reverse_uniform(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget) {
  UniformResult result = undo_uniform(text, metadata, budget, false);
  return result.bytes ? std::move(*result.bytes) : budget.copy_of(text);
}

kvn::Bytes reverse_selective_from_data(kvn::ByteSpan text, const SelectiveMetadata& metadata,
                                       Budget budget) {
  auto rows = rebuild_selective(text, metadata, budget);
  return rows ? std::move(*rows) : budget.copy_of(text);
}

kvn::Bytes reverse(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget) {
  if (metadata.empty()) return budget.copy_of(text);
  switch (static_cast<ColumnarLayout>(metadata[0])) {
    case ColumnarLayout::Uniform:
      return reverse_uniform(text, metadata, budget);
    case ColumnarLayout::Selective:
      if (auto parsed = parse_selective_metadata(metadata)) {
        return reverse_selective_from_data(text, *parsed, budget);
      }
      return budget.copy_of(text);
    case ColumnarLayout::Grouped:
      if (metadata.size() >= 8) return reverse_grouped(text, metadata, budget);
      return budget.copy_of(text);
    default:
      return budget.copy_of(text);
  }
}

}  // namespace kelvane::format::ndjson
