// The separators between array elements as the metadata stores them, each
// a u16 length and its bytes. The reverse reads them where they are, in the
// order they are written, instead of holding a view of each (16 bytes for
// every 2 stored bytes of an empty one).
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::format::json_array {

// Reads `count` separators from `r`, adding their lengths to `total`, and
// gives the bytes they take; false when one is cut.
inline bool read_separator_list(kvn::ByteReader& r, std::uint64_t count, std::uint64_t& total,
                                kvn::ByteSpan& list) {
  if (!r.has(2 * count)) return false;
  const kvn::ByteSpan rest = r.rest();
  const std::size_t start = r.position();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint16_t length = 0;
    if (!r.read_u16(length) || !r.skip(length)) return false;
    total += length;
  }
  list = rest.first(r.position() - start);
  return true;
}

// The separators of a list read_separator_list accepted, one after another.
class SeparatorCursor {
 public:
  explicit SeparatorCursor(kvn::ByteSpan list) noexcept : reader_(list) {}

  // The next separator; false once the list is used up.
  bool next(kvn::ByteSpan& separator) noexcept {
    std::uint16_t length = 0;
    return reader_.read_u16(length) && reader_.read_bytes(length, separator);
  }

 private:
  kvn::ByteReader reader_;
};

}  // namespace kelvane::format::json_array
