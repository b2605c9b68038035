// The typed column stream: the choice of each column's encoding, the stream
// around the bodies, and its reverse.
#include <algorithm>
#include <limits>
#include <optional>

#include "format/columnar.hpp"
#include "format/schema/schema.hpp"
#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"
#include "format/typed_encoding/typed_encoding.hpp"

namespace kelvane::format::typed_encoding {
namespace {

using schema::ColumnSchema;
using schema::ColumnType;

constexpr std::size_t kMaxColumns = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t kMaxBodyLength = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kStreamHeaderSize = 6;  // u16 column count, u32 schema length
constexpr std::size_t kRecordHeaderSize = 5;  // u8 tag, u32 body length

void store_u32_le(kvn::Bytes& out, std::size_t pos, std::uint32_t v) noexcept {
  for (int i = 0; i < 4; ++i) out[pos + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool all_non_null_quoted(Values values) noexcept {
  return std::all_of(values.begin(), values.end(), [](kvn::ByteSpan v) {
    return schema::is_null(v) || schema::is_quoted(v);
  });
}

// Appends the body of one column in the encoding its schema calls for, or
// Raw where that encoding would not restore the column; returns the tag.
ColumnEncoding encode_column(const ColumnSchema& s, Values values, kvn::Bytes& out) {
  const auto or_raw = [&](bool encoded, ColumnEncoding tag) {
    if (encoded) return tag;
    encode_raw(values, out);
    return ColumnEncoding::Raw;
  };
  const auto nullable = [&](ColumnEncoding inner) {
    return or_raw(encode_nullable_column(values, inner, out).has_value(), ColumnEncoding::Nullable);
  };
  switch (s.column_type) {
    case ColumnType::Integer:
      if (s.nullable) return nullable(ColumnEncoding::Integer);
      return or_raw(encode_integer_column(values, out), ColumnEncoding::Integer);
    case ColumnType::Boolean:
      if (s.nullable) return nullable(ColumnEncoding::Boolean);
      encode_boolean_column(values, out);
      return ColumnEncoding::Boolean;
    case ColumnType::Timestamp:
      if (s.timestamp_format != schema::TimestampFormat::Iso8601) break;
      if (s.nullable) return nullable(ColumnEncoding::Timestamp);
      return or_raw(encode_timestamp_column(values, out), ColumnEncoding::Timestamp);
    case ColumnType::Uuid:
      if (s.nullable) return nullable(ColumnEncoding::Uuid);
      return or_raw(encode_uuid_column(values, out), ColumnEncoding::Uuid);
    case ColumnType::Enum:
      if (s.nullable) return nullable(ColumnEncoding::Enum);
      return or_raw(encode_enum_column(values, out), ColumnEncoding::Enum);
    case ColumnType::String:
      // The String decoder quotes every value it writes.
      if (!all_non_null_quoted(values)) break;
      if (s.nullable) return nullable(ColumnEncoding::String);
      encode_string_column(values, out);
      return ColumnEncoding::String;
    case ColumnType::Float:
    case ColumnType::Null:
      break;
  }
  encode_raw(values, out);
  return ColumnEncoding::Raw;
}

}  // namespace

std::optional<kvn::Bytes> preprocess(kvn::ByteSpan text) {
  if (text.empty()) return std::nullopt;
  ColumnarValues columns;
  split_columnar(text, columns);
  const std::size_t n = columns.column_count();
  if (n > kMaxColumns) return std::nullopt;
  const std::vector<ColumnSchema> schema = schema::infer_schema(columns);
  const kvn::Bytes schema_bytes = schema::serialize_schema(schema);

  kvn::Bytes stream;
  stream.reserve(text.size());
  kvn::append_u16_le(stream, static_cast<std::uint16_t>(n));
  kvn::append_u32_le(stream, static_cast<std::uint32_t>(schema_bytes.size()));
  kvn::append_bytes(stream, schema_bytes);
  for (std::size_t c = 0; c < n; ++c) {
    const Values values = columns.column(c);
    if (values.size() > kMaxBodyLength) return std::nullopt;  // counts are 32-bit
    const std::size_t record = stream.size();
    stream.resize(record + kRecordHeaderSize);
    const ColumnEncoding tag = encode_column(schema[c], values, stream);
    const std::size_t body_length = stream.size() - record - kRecordHeaderSize;
    if (body_length > kMaxBodyLength || stream.size() >= text.size()) return std::nullopt;
    stream[record] = static_cast<std::uint8_t>(tag);
    store_u32_le(stream, record + 1, static_cast<std::uint32_t>(body_length));
  }
  return stream;
}

void decode_column(std::uint8_t tag, kvn::ByteSpan body, ValueSink& sink) {
  switch (static_cast<ColumnEncoding>(tag)) {
    case ColumnEncoding::Integer: return decode_integer_column(body, sink);
    case ColumnEncoding::Boolean: return decode_boolean_column(body, sink);
    case ColumnEncoding::Nullable: return decode_nullable_column(body, sink);
    case ColumnEncoding::Timestamp: return decode_timestamp_column(body, sink);
    case ColumnEncoding::Enum: return decode_enum_column(body, sink);
    case ColumnEncoding::String: return decode_string_column(body, sink);
    case ColumnEncoding::Uuid: return decode_uuid_column(body, sink);
    case ColumnEncoding::FsstString: return decode_fsst_string_column(body, sink);
    case ColumnEncoding::HexPrefix: return decode_hex_prefix_column(body, sink);
    case ColumnEncoding::Raw:
    default: return decode_raw(body, sink);
  }
}

namespace {

struct ColumnRecord {
  std::uint8_t tag = 0;
  kvn::ByteSpan body;
};

bool read_record(kvn::ByteReader& in, ColumnRecord& record) {
  std::uint32_t length = 0;
  return in.read_u8(record.tag) && in.read_u32(length) && in.read_bytes(length, record.body);
}

// The text of the n column records `in` holds (all known to fit), 0x00
// before every column but the first; nothing when it would pass `budget`.
std::optional<kvn::Bytes> decode_text(kvn::ByteReader in, std::size_t n, std::size_t stream_size,
                                      Budget budget) {
  kvn::Bytes text;
  TextOutput out(text, budget.room(), 2 * std::uint64_t{stream_size});
  ColumnRecord record;
  for (std::size_t c = 0; c < n; ++c) {
    read_record(in, record);
    if (c != 0) out.put(kColumnSeparator);
    ValueSink sink(out);
    if (!out.full()) decode_column(record.tag, record.body, sink);
    if (sink.full()) {
      budget.overran();
      return std::nullopt;
    }
  }
  if (!budget.take(text.size())) return std::nullopt;  // written within room(): never refused
  return text;
}

}  // namespace

kvn::Bytes reverse(kvn::ByteSpan stream, Budget budget) {
  const auto unchanged = [&] { return budget.copy_of(stream); };
  kvn::ByteReader in(stream);
  std::uint16_t n = 0;
  std::uint32_t schema_length = 0;
  kvn::ByteSpan schema_bytes;
  if (stream.size() < kStreamHeaderSize || !in.read_u16(n) || !in.read_u32(schema_length) ||
      !in.read_bytes(schema_length, schema_bytes)) {
    return unchanged();
  }
  if (schema::deserialize_schema(schema_bytes).size() != n) return unchanged();
  if (n == 0) return {};

  // Every record must fit before any column is decoded.
  const kvn::ByteReader records = in;
  ColumnRecord record;
  for (std::size_t c = 0; c < n; ++c) {
    if (!read_record(in, record)) return unchanged();
  }
  auto text = decode_text(records, n, stream.size(), budget);
  if (!text) return unchanged();
  return std::move(*text);
}

}  // namespace kelvane::format::typed_encoding
