// The NDJSON columnar transform: lines that are flat JSON objects of one
// shape are cut into their skeleton (the bytes around the values) and their
// raw values, and rewritten column-major; the reverse rebuilds the lines byte
// for byte. Values are never re-encoded: every value travels as the exact
// bytes the line holds.
//
// Two single-shape layouts exist. Uniform stores every column column-major
// in ColumnarText (0x01 between the values of a column, 0x00 between
// columns). Selective keeps the columns whose values are mostly distinct and
// long row-wise, beside the other row-wise values of their row. Lines of
// several shapes take the Grouped layout (grouped.hpp), one of those two
// layouts per group of lines of one shape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::ndjson {

// First byte of the metadata of every columnar layout (NDJSON, JSON arrays
// and each group of a grouped layout).
enum class ColumnarLayout : std::uint8_t {
  Uniform = 1,
  Grouped = 2,
  Selective = 3,
};

inline constexpr std::uint8_t VALUE_SEPARATOR = 0x01;
inline constexpr std::uint8_t COLUMN_SEPARATOR = 0x00;

// Limits that keep every count, length and separator of a layout exact.
inline constexpr std::size_t kMaxValuesPerObject = 65534;
inline constexpr std::size_t kMaxPieceLength = 65535;

// The n+1 pieces around the n raw values of a flat object: piece 0 runs from
// the first byte of the object's text to value 0, piece i from value i-1 to
// value i, piece n from the last value to the end of the text. Pieces and
// values concatenated in turn give the text back exactly.
using ObjectSkeleton = std::vector<kvn::ByteSpan>;

// One raw JSON value and the position just after it.
struct ExtractedValue {
  kvn::ByteSpan value;
  std::size_t next = 0;
};

// Finds the raw value that starts at `pos` (blanks before it skipped): a
// string with its quotes, an object or array matched by its own brackets
// only (strings inside skipped), or a scalar up to a blank, ',', ']', '}' or
// the end. Nothing when the bytes end first, a string or bracket is left
// open, or the scalar would be empty.
std::optional<ExtractedValue> extract_value(kvn::ByteSpan bytes, std::size_t pos);

// One line cut into pieces and values (pieces.size() == values.size() + 1).
struct ParsedLine {
  ObjectSkeleton pieces;
  std::vector<kvn::ByteSpan> values;
};

// Cuts one line (no LF inside) into its skeleton and values. Nothing when the
// line is not a flat object with quoted keys and at least one value, or when
// it would break a layout's format (more than 65,534 values, a piece longer
// than 65,535 bytes, a value holding 0x00 or 0x01).
std::optional<ParsedLine> parse_line(kvn::ByteSpan line);

// The same, reusing `out`'s buffers; returns false where parse_line gives
// nothing (`out` is then unspecified).
bool parse_line_into(kvn::ByteSpan line, ParsedLine& out);

// A column: one value per row, each a view into the input.
using Column = std::vector<kvn::ByteSpan>;

// Column classes.
inline constexpr std::uint8_t kClassRowWise = 0;
inline constexpr std::uint8_t kClassColumnar = 1;

// One class byte per column: row-wise (0) when there are at least 10 rows,
// more than 70 % of the column's values are distinct and their mean length
// (rounded down) is at least 128 bytes; columnar (1) otherwise.
std::vector<std::uint8_t> classify_columns(const std::vector<Column>& columns,
                                           std::uint32_t row_count);

struct Layout {
  kvn::Bytes text;
  kvn::Bytes metadata;
};

// The ColumnarText of `columns`, each holding `row_count` values.
kvn::Bytes build_columnar_text(const std::vector<Column>& columns, std::uint32_t row_count);

// Uniform text and metadata up to and including the pieces; the caller
// appends the nested block.
Layout build_uniform_columnar(const ObjectSkeleton& pieces, const std::vector<Column>& columns,
                              std::uint32_t row_count, bool trailing_newline);

// Selective text ([u32 length of A][A][B]) and metadata.
Layout build_selective_columnar(const ObjectSkeleton& pieces, const std::vector<Column>& columns,
                                const std::vector<std::uint8_t>& classes,
                                std::uint32_t row_count, bool trailing_newline);

// Appends the nested block of a Uniform layout: flattens the nested-object
// columns of `layout.text` and keeps the flattening only when it round-trips
// and its infos fit their byte form; otherwise appends a single 0x00.
void apply_nesting_step(Layout& layout, std::uint32_t row_count);

// The parsed Uniform metadata.
struct UniformMetadata {
  std::vector<kvn::ByteSpan> pieces;  // n + 1 pieces (views into the metadata)
  std::uint32_t row_count = 0;
  std::uint16_t column_count = 0;
  bool trailing_newline = false;
  kvn::ByteSpan nested;  // the bytes after the pieces: the nested block, or nothing
};

// Reads a Uniform metadata up to its pieces. Nothing when it is shorter than
// 10 bytes, a piece is cut, or the piece count is not column count + 1 with
// both the row and the column count non-zero.
std::optional<UniformMetadata> parse_uniform_metadata(kvn::ByteSpan metadata);

// The (row, key) cells that the nested blocks of an NDJSON metadata declare:
// those of the Uniform layout, or of every Uniform group of the Grouped
// layout, whose nested block parses (nested_cells). 0 when there are none,
// or when the metadata itself does not parse.
std::uint64_t declared_nested_cells(kvn::ByteSpan metadata);

// The parsed Selective metadata.
struct SelectiveMetadata {
  std::vector<kvn::ByteSpan> skeleton;  // n + 1 pieces (views into the metadata)
  std::vector<std::uint16_t> columnar_indices;
  std::uint32_t row_count = 0;
  std::uint16_t column_count = 0;
  bool trailing_newline = false;
};

// Forward transform: nothing (declined) or the text and metadata.
std::optional<Layout> preprocess(kvn::ByteSpan input);

// Reverse transforms. They never fail: where the metadata or text cannot be
// used, or the rebuilt output would exceed `budget` bytes, they return a copy
// of `text` (reverse_uniform, when it unflattened the text first, a copy of
// the unflattened text).
kvn::Bytes reverse(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget);
kvn::Bytes reverse_uniform(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget);
kvn::Bytes reverse_uniform_from_parts(kvn::ByteSpan text, const std::vector<kvn::ByteSpan>& pieces,
                                      std::uint32_t row_count, std::uint16_t column_count,
                                      bool trailing_newline, Budget budget);
std::optional<SelectiveMetadata> parse_selective_metadata(kvn::ByteSpan metadata);
kvn::Bytes reverse_selective_from_data(kvn::ByteSpan text, const SelectiveMetadata& metadata,
                                       Budget budget);

// What reverse_uniform gives, before it falls back to a copy of the text:
// the rebuilt lines; when they cannot be rebuilt from a text it unflattened
// first, that unflattened text; nothing when neither (the text itself is
// then the result). `written` counts the bytes of both buffers it wrote.
struct UniformResult {
  std::optional<kvn::Bytes> bytes;
  std::uint64_t written = 0;
};

// The unflattened text and the lines each stay within `budget`, or, with
// `shared_budget`, the two together (for a caller that bounds all it has
// written).
UniformResult undo_uniform(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget,
                           bool shared_budget);

// The rebuilds, giving nothing instead of a copy where they cannot run (for
// callers that must tell a rebuild from its refusal).
std::optional<kvn::Bytes> rebuild_uniform_from_parts(kvn::ByteSpan text,
                                                     const std::vector<kvn::ByteSpan>& pieces,
                                                     std::uint32_t row_count,
                                                     std::uint16_t column_count,
                                                     bool trailing_newline, Budget budget);
std::optional<kvn::Bytes> rebuild_selective(kvn::ByteSpan text, const SelectiveMetadata& metadata,
                                            Budget budget);

}  // namespace kelvane::format::ndjson
