// The typed column stream: in "fast" mode the ColumnarText of a uniform
// layout is rewritten as a header, the schema bytes and every column in a
// binary encoding chosen from its inferred type. Lossless: a column that an
// encoding cannot restore exactly is stored as its raw text.
//
// Stream (little-endian): u16 column count n, u32 schema length S, the S
// schema bytes, then n records of u8 ColumnEncoding, u32 body length L and
// L body bytes.
#pragma once

#include <cstdint>
#include <optional>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::typed_encoding {

enum class ColumnEncoding : std::uint8_t {
  Raw = 0,
  Integer = 1,
  Boolean = 2,
  Nullable = 3,
  Timestamp = 4,
  Enum = 5,
  String = 6,
  Uuid = 7,
  FsstString = 8,  // decoded only
  HexPrefix = 9,   // decoded only
};

// The stream of `text`, or nothing when the text is empty, has more than
// 65,535 columns, would need a body or count beyond 32 bits, or its stream
// is not strictly shorter than the text. The record's metadata is empty.
std::optional<kvn::Bytes> preprocess(kvn::ByteSpan text);

// The ColumnarText of `stream`. Never fails: a stream whose header or
// records do not fit, or whose text would exceed `budget` bytes, comes back
// unchanged; damage inside a body gives other values, which the container's
// checks report. Beside the stream it holds at most 1/16 more than its
// budget's room and 512 KiB, whatever the stream declares (see
// value_sink.hpp).
kvn::Bytes reverse(kvn::ByteSpan stream, Budget budget);

}  // namespace kelvane::format::typed_encoding
