// The Timestamp column encoding: a column of ISO 8601 texts as one base time
// and delta-of-delta varints in microseconds, with the zone, the offset and
// the number of fraction digits stored once. Only columns whose every text
// the codec writes back byte for byte are encoded.
//
// Body (little-endian): i64 base (the first value's microseconds), u8 zone
// kind, i16 offset minutes, u8 fraction digits, u32 count, u8 mode (1 =
// delta-of-delta, the only one written), then one zigzag LEB128 varint per
// value. Readers also take plain deltas starting at byte 16 (a 16-byte body,
// or any mode byte but 1).
#pragma once

#include <cstdint>
#include <optional>

#include "kvn/bytes.hpp"

namespace kelvane::format::typed_encoding {

enum class ZoneKind : std::uint8_t { Utc = 0, Offset = 1, None = 2 };

struct ParsedTimestamp {
  std::int64_t micros = 0;          // since 1970-01-01T00:00:00 UTC
  std::int16_t offset_minutes = 0;  // as written; 0 for Utc and None
  ZoneKind zone = ZoneKind::None;
  std::uint8_t fraction_digits = 0;  // digits after '.', modulo 256
};

// Parses a quoted YYYY-MM-DDTHH:MM:SS[.f...][Z|+hh:mm|-hh:mm]. Only the
// month (1-12) and day (1-31) are range-checked; hours, minutes, seconds
// and offsets are taken as written. Nothing on any other text.
std::optional<ParsedTimestamp> parse_iso8601_to_micros(kvn::ByteSpan value) noexcept;

// Days from 1970-01-01 to the date in the proleptic Gregorian calendar, the
// day not compared with the month's length. Nothing outside the years 0 to
// 9999, months 1-12 or days 1-31.
std::optional<std::int64_t> days_since_epoch(std::int64_t year, std::uint32_t month,
                                             std::uint32_t day) noexcept;

// Appends the quoted text of an instant in the given zone and precision.
// False, with nothing appended, when the local time falls outside the years
// 0000 to 9999 (or cannot be computed in 64 bits).
bool micros_to_iso8601(std::int64_t micros, ZoneKind zone, std::int16_t offset_minutes,
                       std::uint8_t fraction_digits, kvn::Bytes& out);

// Appends `value` in decimal, padded on the left with '0' to `width` digits.
void write_digits(kvn::Bytes& out, std::uint64_t value, std::size_t width);

}  // namespace kelvane::format::typed_encoding
