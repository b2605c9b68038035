// classify_value and the value shapes it is built from.
#include <limits>

#include "format/schema/schema.hpp"
#include "format/schema/value_text.hpp"

namespace kelvane::format::schema {

std::optional<std::int64_t> parse_canonical_integer(kvn::ByteSpan value) noexcept {
  std::size_t i = 0;
  const bool negative = !value.empty() && value[0] == '-';
  if (negative) i = 1;
  const std::size_t digits = value.size() - i;
  if (digits == 0 || digits > 19) return std::nullopt;  // 19 digits never overflow u64
  if (value[i] == '0' && (digits > 1 || negative)) return std::nullopt;
  std::uint64_t magnitude = 0;
  for (; i < value.size(); ++i) {
    if (!is_digit(value[i])) return std::nullopt;
    magnitude = magnitude * 10 + (value[i] - '0');
  }
  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (magnitude > kMaxPositive + (negative ? 1 : 0)) return std::nullopt;
  // Negation in unsigned arithmetic keeps the smallest value exact.
  return static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
}

bool is_float_text(kvn::ByteSpan value) noexcept {
  const std::size_t n = value.size();
  std::size_t i = 0;
  if (i < n && (value[i] == '+' || value[i] == '-')) ++i;
  std::size_t mantissa_digits = 0;
  while (i < n && is_digit(value[i])) ++i, ++mantissa_digits;
  bool marked = false;  // holds '.', 'e' or 'E'
  if (i < n && value[i] == '.') {
    marked = true;
    ++i;
    while (i < n && is_digit(value[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < n && (value[i] == 'e' || value[i] == 'E')) {
    marked = true;
    ++i;
    if (i < n && (value[i] == '+' || value[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(value[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return marked && i == n;
}

bool is_iso8601_shape(kvn::ByteSpan v) noexcept {
  if (v.size() < 21 || !is_quoted(v)) return false;
  // YYYY-MM-DDTHH:MM:SS at positions 1 to 19.
  static constexpr char kPattern[] = "dddd-dd-ddTdd:dd:dd";
  for (std::size_t i = 0; i < 19; ++i) {
    const std::uint8_t c = v[i + 1];
    if (kPattern[i] == 'd' ? !is_digit(c) : c != static_cast<std::uint8_t>(kPattern[i])) {
      return false;
    }
  }
  const std::size_t close = v.size() - 1;
  std::size_t i = 20;
  if (v[i] == '.') {
    const std::size_t first = ++i;
    while (i < close && is_digit(v[i])) ++i;
    if (i == first) return false;
  }
  if (i == close) return true;
  if (v[i] == 'Z') return i + 1 == close;
  return (v[i] == '+' || v[i] == '-') && i + 6 == close && is_digit(v[i + 1]) &&
         is_digit(v[i + 2]) && v[i + 3] == ':' && is_digit(v[i + 4]) && is_digit(v[i + 5]);
}

bool is_uuid_shape(kvn::ByteSpan v) noexcept {
  if (v.size() != kUuidTextSize || !is_quoted(v)) return false;
  std::size_t dash = 0;
  for (std::size_t i = 1; i + 1 < kUuidTextSize; ++i) {
    if (dash < 4 && i == kUuidDashes[dash]) {
      if (v[i] != '-') return false;
      ++dash;
    } else if (!is_hex_digit(v[i])) {
      return false;
    }
  }
  return true;
}

Classification classify_value(kvn::ByteSpan value) noexcept {
  if (value.empty()) return {ValueClass::Text};
  switch (value[0]) {
    case 'n':
      return {is_null(value) ? ValueClass::Null : ValueClass::Text};
    case 't':
    case 'f':
      return {equals(value, "true", 4) || equals(value, "false", 5) ? ValueClass::Boolean
                                                                      : ValueClass::Text};
    case '"':
      if (is_iso8601_shape(value)) return {ValueClass::IsoTimestamp};
      if (is_uuid_shape(value)) return {ValueClass::Uuid};
      return {ValueClass::Text};
    default:
      break;
  }
  if (const auto v = parse_canonical_integer(value)) {
    if (*v >= kEpochMillisMin && *v <= kEpochMillisMax) return {ValueClass::EpochMillis, *v};
    if (*v >= kEpochSecondsMin && *v <= kEpochSecondsMax) return {ValueClass::EpochSeconds, *v};
    return {ValueClass::Integer, *v};
  }
  return {is_float_text(value) ? ValueClass::Float : ValueClass::Text};
}

}  // namespace kelvane::format::schema
