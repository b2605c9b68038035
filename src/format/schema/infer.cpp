// infer_schema: one ColumnSchema per column from the classes of its values.
#include <algorithm>

#include "format/schema/schema.hpp"
#include "format/span_index.hpp"

namespace kelvane::format::schema {
namespace {

constexpr std::uint32_t bit(ValueClass c) noexcept { return 1u << static_cast<unsigned>(c); }

// True when every class seen is in `allowed` (and at least one was seen).
constexpr bool only(std::uint32_t seen, std::uint32_t allowed) noexcept {
  return seen != 0 && (seen & ~allowed) == 0;
}

ColumnSchema infer_column(std::span<const kvn::ByteSpan> values) {
  constexpr std::uint32_t kIntegers =
      bit(ValueClass::Integer) | bit(ValueClass::EpochSeconds) | bit(ValueClass::EpochMillis);
  ColumnSchema schema;
  std::uint32_t seen = 0;  // classes of the non-null values
  std::int64_t min = 0, max = 0;
  bool any_integer = false;
  SpanIndex distinct(kMaxEnumCardinality + 1);
  bool enum_possible = true;  // every class so far is Text, at most 255 distinct
  for (const kvn::ByteSpan value : values) {
    const Classification c = classify_value(value);
    if (c.value_class == ValueClass::Null) {
      schema.nullable = true;
      continue;
    }
    seen |= bit(c.value_class);
    if ((bit(c.value_class) & kIntegers) != 0) {
      min = any_integer ? std::min(min, c.integer) : c.integer;
      max = any_integer ? std::max(max, c.integer) : c.integer;
      any_integer = true;
    }
    // Distinct values are counted only while the column can still be an
    // Enum, and no further than one past its limit.
    if (enum_possible) {
      enum_possible = seen == bit(ValueClass::Text);
      if (enum_possible) distinct.intern(value);
      enum_possible = enum_possible && distinct.size() <= kMaxEnumCardinality;
    }
  }

  if (seen == 0) {
    schema.column_type = ColumnType::Null;
    schema.nullable = false;
  } else if (seen == bit(ValueClass::Boolean)) {
    schema.column_type = ColumnType::Boolean;
  } else if (seen == bit(ValueClass::Integer)) {
    schema.column_type = ColumnType::Integer;
  } else if (only(seen, bit(ValueClass::Integer) | bit(ValueClass::Float))) {
    schema.column_type = ColumnType::Float;
  } else if (seen == bit(ValueClass::IsoTimestamp)) {
    schema.column_type = ColumnType::Timestamp;
    schema.timestamp_format = TimestampFormat::Iso8601;
  } else if (seen == bit(ValueClass::EpochSeconds)) {
    schema.column_type = ColumnType::Timestamp;
    schema.timestamp_format = TimestampFormat::EpochSeconds;
  } else if (only(seen, bit(ValueClass::EpochSeconds) | bit(ValueClass::EpochMillis))) {
    schema.column_type = ColumnType::Timestamp;
    schema.timestamp_format = TimestampFormat::EpochMillis;
  } else if (only(seen, kIntegers)) {
    schema.column_type = ColumnType::Integer;
  } else if (seen == bit(ValueClass::Uuid)) {
    schema.column_type = ColumnType::Uuid;
  } else if (seen == bit(ValueClass::Text) && enum_possible) {
    schema.column_type = ColumnType::Enum;
    schema.cardinality = static_cast<std::uint16_t>(distinct.size());
  } else {
    schema.column_type = ColumnType::String;
  }
  if (schema.column_type == ColumnType::Integer) {
    schema.min = min;
    schema.max = max;
  }
  return schema;
}

}  // namespace

std::vector<ColumnSchema> infer_schema(const ColumnarValues& columns) {
  std::vector<ColumnSchema> schema;
  schema.reserve(columns.column_count());
  for (std::size_t c = 0; c < columns.column_count(); ++c) {
    schema.push_back(infer_column(columns.column(c)));
  }
  return schema;
}

std::vector<ColumnSchema> infer_schema(kvn::ByteSpan text) {
  if (text.empty()) return {};
  ColumnarValues columns;
  split_columnar(text, columns);
  return infer_schema(columns);
}

}  // namespace kelvane::format::schema
