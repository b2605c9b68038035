// Value classification and schema inference over ColumnarText: what each
// column holds, and the schema bytes the typed column stream stores in front
// of its columns. Only the count of the stored entries matters to a reader;
// their contents never change how a stream decodes.
#pragma once

#include <cstdint>
#include <vector>

#include "format/columnar.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::schema {

enum class ValueClass : std::uint8_t {
  Null,
  Boolean,
  Integer,
  Float,
  IsoTimestamp,
  EpochSeconds,
  EpochMillis,
  Uuid,
  Text,
};

struct Classification {
  ValueClass value_class = ValueClass::Text;
  // The value of Integer, EpochSeconds and EpochMillis texts; 0 otherwise.
  std::int64_t integer = 0;
};

// Instants 2000-01-01T00:00:00Z and 2100-01-01T00:00:00Z, in seconds and in
// milliseconds: non-negative integers between them read as epoch times.
inline constexpr std::int64_t kEpochSecondsMin = 946'684'800;
inline constexpr std::int64_t kEpochSecondsMax = 4'102'444'800;
inline constexpr std::int64_t kEpochMillisMin = 946'684'800'000;
inline constexpr std::int64_t kEpochMillisMax = 4'102'444'800'000;

// Sorts one raw value into its class (the first rule that fits: empty text,
// null, booleans, canonical 64-bit integers and epoch times, floats, ISO 8601
// texts, UUIDs, anything else is Text). Allocates nothing.
Classification classify_value(kvn::ByteSpan value) noexcept;

enum class TimestampFormat : std::uint8_t { Iso8601 = 0, EpochSeconds = 1, EpochMillis = 2 };

enum class ColumnType : std::uint8_t { Integer, Float, Boolean, Timestamp, Uuid, Enum, String, Null };

struct ColumnSchema {
  ColumnType column_type = ColumnType::String;
  bool nullable = false;  // some value is `null`; never set for a Null column
  std::int64_t min = 0;   // Integer: over the non-null values
  std::int64_t max = 0;
  TimestampFormat timestamp_format = TimestampFormat::Iso8601;  // Timestamp
  std::uint16_t cardinality = 0;  // Enum: distinct non-null values, at most 255

  friend bool operator==(const ColumnSchema&, const ColumnSchema&) = default;
};

// Most distinct values an Enum column holds.
inline constexpr std::size_t kMaxEnumCardinality = 255;

// One schema per column of the split text.
std::vector<ColumnSchema> infer_schema(const ColumnarValues& columns);
// The same over the text itself; an empty text gives no columns.
std::vector<ColumnSchema> infer_schema(kvn::ByteSpan text);

// u16 column count, then per column its type code, nullable byte and payload.
kvn::Bytes serialize_schema(const std::vector<ColumnSchema>& schema);
// Reads as many complete entries as the bytes hold, up to the stored count.
std::vector<ColumnSchema> deserialize_schema(kvn::ByteSpan bytes);

}  // namespace kelvane::format::schema
