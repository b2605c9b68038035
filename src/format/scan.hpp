// Text scanning shared by every JSON and NDJSON transform. Strings run from a
// double quote to the next double quote that is not escaped; a backslash
// makes the byte after it part of the string. Nothing here decodes or
// validates JSON: values travel as their raw bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kvn/blank.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format {

using kvn::is_blank;

// Index of the first non-blank byte at or after `pos` (data.size() if none).
inline std::size_t skip_blanks(kvn::ByteSpan data, std::size_t pos) noexcept {
  while (pos < data.size() && is_blank(data[pos])) ++pos;
  return pos;
}

// `pos` is the index of an opening double quote. Returns the index just past
// the closing quote, or data.size() when the string is not closed.
inline std::size_t skip_string(kvn::ByteSpan data, std::size_t pos) noexcept {
  ++pos;
  while (pos < data.size()) {
    const std::uint8_t c = data[pos];
    if (c == '\\') {
      pos += 2;
    } else if (c == '"') {
      return pos + 1;
    } else {
      ++pos;
    }
  }
  return data.size();
}

// Returned by find_string_end for a string that is not closed.
inline constexpr std::size_t kStringNotClosed = static_cast<std::size_t>(-1);

// `pos` is the index of an opening double quote. Returns the index just past
// the closing quote, or kStringNotClosed when the bytes end first (unlike
// skip_string, a string closed by the last byte and an unclosed one differ).
inline std::size_t find_string_end(kvn::ByteSpan data, std::size_t pos) noexcept {
  const std::uint8_t* const bytes = data.data();
  const std::size_t size = data.size();
  ++pos;
  while (pos < size) {
    const std::uint8_t c = bytes[pos];
    if (c == '"') return pos + 1;
    pos += (c == '\\') ? 2 : 1;
  }
  return kStringNotClosed;
}

// How many times `byte` occurs in `data` (the separator counts of columnar
// text).
inline std::uint64_t count_byte(kvn::ByteSpan data, std::uint8_t byte) noexcept {
  return static_cast<std::uint64_t>(std::count(data.begin(), data.end(), byte));
}

}  // namespace kelvane::format
