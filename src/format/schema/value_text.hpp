// The shapes of raw JSON value texts that classification and the column
// codecs agree on. Nothing here decodes JSON: each test looks at the bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include "kvn/bytes.hpp"

namespace kelvane::format::schema {

inline bool is_digit(std::uint8_t c) noexcept { return c >= '0' && c <= '9'; }

inline bool is_hex_digit(std::uint8_t c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

inline bool equals(kvn::ByteSpan value, const char* literal, std::size_t n) noexcept {
  return value.size() == n && std::memcmp(value.data(), literal, n) == 0;
}

// Exactly the four bytes `null`.
inline bool is_null(kvn::ByteSpan value) noexcept { return equals(value, "null", 4); }

// At least two bytes, a double quote first and last.
inline bool is_quoted(kvn::ByteSpan value) noexcept {
  return value.size() >= 2 && value.front() == '"' && value.back() == '"';
}

// Canonical integer text (an optional '-', then 0 alone or digits starting
// with 1-9; "-0" is not canonical) within the signed 64-bit range.
std::optional<std::int64_t> parse_canonical_integer(kvn::ByteSpan value) noexcept;

// A decimal number holding '.', 'e' or 'E': an optional sign, then digits
// with an optional '.' and further digits, or '.' and one or more digits,
// then an optional exponent with its own optional sign and digits.
bool is_float_text(kvn::ByteSpan value) noexcept;

// Quoted, at least 21 bytes: YYYY-MM-DDTHH:MM:SS (digits not range-checked),
// an optional fraction ('.' and digits), an optional zone ('Z' or a sign,
// two digits, ':' and two digits), then the closing quote.
bool is_iso8601_shape(kvn::ByteSpan value) noexcept;

// Positions of the dashes of a quoted UUID (the opening quote at 0).
inline constexpr std::size_t kUuidDashes[4] = {9, 14, 19, 24};
inline constexpr std::size_t kUuidTextSize = 38;

// Exactly 38 bytes, quoted, '-' at 9, 14, 19 and 24 and a hex digit of
// either case at the 32 other inner positions.
bool is_uuid_shape(kvn::ByteSpan value) noexcept;

}  // namespace kelvane::format::schema
