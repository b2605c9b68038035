// Text scanning shared by every JSON and NDJSON transform. Strings run from a
// double quote to the next double quote that is not escaped; a backslash
// makes the byte after it part of the string. Nothing here decodes or
// validates JSON: values travel as their raw bytes.
#pragma once

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

}  // namespace kelvane::format
