// The column encodings of the typed stream, one file each. An encoder
// appends a column's body to `out`; one that can decline returns false (or
// nothing) and leaves `out` as it was. A decoder reads a body and puts the
// column's values into a ValueSink; a body that is cut or damaged gives
// fewer, empty, `null` or 0 values, never an error, and no decoder reserves
// memory for a count read from the body.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "format/typed_encoding/typed_encoding.hpp"
#include "format/typed_encoding/value_sink.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::typed_encoding {

using Values = std::span<const kvn::ByteSpan>;

inline constexpr char kLowerHexDigits[] = "0123456789abcdef";

// Raw: the values joined by 0x01.
void encode_raw(Values values, kvn::Bytes& out);
void decode_raw(kvn::ByteSpan body, ValueSink& sink);

// Integer: zigzag LEB128 of each difference from the previous value (the
// first from 0), wrapping in 64 bits. Declines a value that is not canonical
// 64-bit integer text.
bool encode_integer_column(Values values, kvn::Bytes& out);
// Every value up to the first varint that cannot be read.
void decode_integer_column(kvn::ByteSpan body, ValueSink& sink);
// Exactly `count` values; those past the last readable varint are 0.
void decode_integer_values(kvn::ByteSpan body, std::uint64_t count, ValueSink& sink);

// Boolean: u32 count, then one bit per value (set for `true`), least
// significant bit first.
void encode_boolean_column(Values values, kvn::Bytes& out);
void decode_boolean_column(kvn::ByteSpan body, ValueSink& sink);

// Nullable: u8 inner tag, u32 count, u32 bitmap length B, B bytes of
// presence bits, then the inner body over the non-null values. Returns the
// inner tag used: a Timestamp, Enum or Uuid inner encoder that declines
// gives way to String when every non-null value is quoted; otherwise
// nothing, and the column is stored Raw.
std::optional<ColumnEncoding> encode_nullable_column(Values values, ColumnEncoding inner,
                                                     kvn::Bytes& out);
void decode_nullable_column(kvn::ByteSpan body, ValueSink& sink);

// Enum: u8 k, k entries (u32 length, bytes) from most to least frequent,
// equal counts in order of first appearance, u32 count, one index byte per
// value. Declines more than 255 distinct values.
bool encode_enum_column(Values values, kvn::Bytes& out);
void decode_enum_column(kvn::ByteSpan body, ValueSink& sink);

// String: u32 count, then per value u32 length and its bytes without one
// surrounding pair of quotes. Decoding puts the quotes back on every value,
// so only columns whose values are all quoted are stored this way.
void encode_string_column(Values values, kvn::Bytes& out);
void decode_string_column(kvn::ByteSpan body, ValueSink& sink);

// Uuid: u32 count, then the 32 hex digits of each value as 16 bytes.
// Declines any value that is not a quoted lower-case UUID.
bool encode_uuid_column(Values values, kvn::Bytes& out);
void decode_uuid_column(kvn::ByteSpan body, ValueSink& sink);

// Timestamp (timestamp.hpp): ISO 8601 texts as delta-of-delta microseconds.
bool encode_timestamp_column(Values values, kvn::Bytes& out);
void decode_timestamp_column(kvn::ByteSpan body, ValueSink& sink);

// Decoded only: FSST-coded strings and hex digits after a shared prefix.
void decode_fsst_string_column(kvn::ByteSpan body, ValueSink& sink);
void decode_hex_prefix_column(kvn::ByteSpan body, ValueSink& sink);

// Decodes a body by its tag; tag 0 and every tag above 9 read as Raw.
void decode_column(std::uint8_t tag, kvn::ByteSpan body, ValueSink& sink);

// Appends `value` in decimal, '-' first when negative.
void format_i64(std::int64_t value, ValueSink& sink);

}  // namespace kelvane::format::typed_encoding
