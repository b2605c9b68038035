// Text scanning shared by every JSON and NDJSON transform. Strings run from a
// double quote to the next double quote that is not escaped; a backslash
// makes the byte after it part of the string. Nothing here decodes or
// validates JSON: values travel as their raw bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
// Sixteen bytes at a time where SSE2 is there: the reverses check every
// separator count of a text before they use it, so this runs over every
// text a chain rebuilds, often more than once. Each lane tallies its
// matches in a byte for up to 255 blocks, then the lanes are summed.
inline std::uint64_t count_byte(kvn::ByteSpan data, std::uint8_t byte) noexcept {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  std::uint64_t count = 0;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(static_cast<char>(byte));
  const __m128i zero = _mm_setzero_si128();
  while (n >= 16) {
    const std::size_t blocks = std::min<std::size_t>(n / 16, 255);
    __m128i tally = zero;
    for (std::size_t b = 0; b < blocks; ++b, p += 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      tally = _mm_sub_epi8(tally, _mm_cmpeq_epi8(block, wanted));  // a match is -1
    }
    n -= blocks * 16;
    const __m128i sums = _mm_sad_epu8(tally, zero);
    count += static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  }
#endif
  for (; n > 0; ++p, --n) count += *p == byte ? 1 : 0;
  return count;
}

// The first `byte` in [begin, end), or end. The values of a columnar text
// are mostly short, and a few compares cost less than a call to memchr, so
// the first bytes are looked at here.
inline const std::uint8_t* find_separator(const std::uint8_t* begin, const std::uint8_t* end,
                                          std::uint8_t byte) noexcept {
  constexpr std::ptrdiff_t kLookedAt = 16;
  const std::uint8_t* const near = end - begin > kLookedAt ? begin + kLookedAt : end;
  for (const std::uint8_t* p = begin; p != near; ++p) {
    if (*p == byte) return p;
  }
  if (near == end) return end;
  const void* hit = std::memchr(near, byte, static_cast<std::size_t>(end - near));
  return hit != nullptr ? static_cast<const std::uint8_t*>(hit) : end;
}

// Walks the values of one column of a columnar text, 0x01 between them, in
// row order. Past the last value it gives empty ones.
struct ValueCursor {
  const std::uint8_t* pos = nullptr;
  const std::uint8_t* end = nullptr;

  ValueCursor() = default;
  ValueCursor(const std::uint8_t* begin, const std::uint8_t* stop) noexcept : pos(begin), end(stop) {}
  explicit ValueCursor(kvn::ByteSpan column) noexcept
      : pos(column.data()), end(column.data() + column.size()) {}

  kvn::ByteSpan next() noexcept {
    const std::uint8_t* stop = find_separator(pos, end, kValueSeparator);
    const kvn::ByteSpan value(pos, static_cast<std::size_t>(stop - pos));
    pos = stop == end ? end : stop + 1;
    return value;
  }

  static constexpr std::uint8_t kValueSeparator = 0x01;
};

}  // namespace kelvane::format
