// The schema bytes: u16 column count, then per column a type code, a
// nullable byte and the code's payload. The codes follow their own table,
// not the order in which the column types are declared.
#include <algorithm>

#include "format/schema/schema.hpp"

namespace kelvane::format::schema {
namespace {

enum SchemaCode : std::uint8_t {
  kCodeNull = 0,
  kCodeInteger = 1,
  kCodeFloat = 2,
  kCodeBoolean = 3,
  kCodeTimestamp = 4,  // + TimestampFormat: 4, 5, 6
  kCodeUuid = 7,
  kCodeEnum = 8,
  kCodeString = 9,
};

std::uint8_t code_of(const ColumnSchema& s) noexcept {
  switch (s.column_type) {
    case ColumnType::Null: return kCodeNull;
    case ColumnType::Integer: return kCodeInteger;
    case ColumnType::Float: return kCodeFloat;
    case ColumnType::Boolean: return kCodeBoolean;
    case ColumnType::Timestamp:
      return static_cast<std::uint8_t>(kCodeTimestamp + static_cast<std::uint8_t>(s.timestamp_format));
    case ColumnType::Uuid: return kCodeUuid;
    case ColumnType::Enum: return kCodeEnum;
    case ColumnType::String: return kCodeString;
  }
  return kCodeString;
}

}  // namespace

kvn::Bytes serialize_schema(const std::vector<ColumnSchema>& schema) {
  kvn::Bytes out;
  out.reserve(2 + schema.size() * 4);
  kvn::append_u16_le(out, static_cast<std::uint16_t>(schema.size()));
  for (const ColumnSchema& s : schema) {
    const std::uint8_t code = code_of(s);
    out.push_back(code);
    out.push_back(code != kCodeNull && s.nullable ? 1 : 0);
    if (code == kCodeInteger) {
      kvn::append_u64_le(out, static_cast<std::uint64_t>(s.min));
      kvn::append_u64_le(out, static_cast<std::uint64_t>(s.max));
    } else if (code == kCodeEnum) {
      kvn::append_u16_le(out, s.cardinality);
    }
  }
  return out;
}

std::vector<ColumnSchema> deserialize_schema(kvn::ByteSpan bytes) {
  kvn::ByteReader in(bytes);
  std::uint16_t count = 0;
  std::vector<ColumnSchema> schema;
  if (!in.read_u16(count)) return schema;
  // Every entry takes at least two bytes.
  schema.reserve(std::min<std::size_t>(count, in.remaining() / 2));
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint8_t code = 0, flags = 0;
    if (!in.read_u8(code) || !in.read_u8(flags)) break;
    ColumnSchema s;
    s.nullable = (flags & 1) != 0;
    switch (code) {
      case kCodeNull: s.column_type = ColumnType::Null; break;
      case kCodeInteger: {
        std::uint64_t min = 0, max = 0;
        if (!in.read_u64(min) || !in.read_u64(max)) return schema;
        s.column_type = ColumnType::Integer;
        s.min = static_cast<std::int64_t>(min);
        s.max = static_cast<std::int64_t>(max);
        break;
      }
      case kCodeFloat: s.column_type = ColumnType::Float; break;
      case kCodeBoolean: s.column_type = ColumnType::Boolean; break;
      case kCodeTimestamp:
      case kCodeTimestamp + 1:
      case kCodeTimestamp + 2:
        s.column_type = ColumnType::Timestamp;
        s.timestamp_format = static_cast<TimestampFormat>(code - kCodeTimestamp);
        break;
      case kCodeUuid: s.column_type = ColumnType::Uuid; break;
      case kCodeEnum:
        if (!in.read_u16(s.cardinality)) return schema;
        s.column_type = ColumnType::Enum;
        break;
      default: s.column_type = ColumnType::String; break;
    }
    schema.push_back(s);
  }
  return schema;
}

}  // namespace kelvane::format::schema
