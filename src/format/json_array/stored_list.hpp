// Lists as the JSON array metadata stores them (the separators between
// elements, the pieces of a group's skeleton): each entry a u16 length and
// its bytes. The reverse reads them where they are, in the order they are
// written, instead of holding a view of each (16 bytes for every 2 stored
// bytes of an empty one).
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::format::json_array {

// Reads `count` entries from `r`, adding their lengths to `total`, and
// gives the bytes they take; false when one is cut.
inline bool read_stored_list(kvn::ByteReader& r, std::uint64_t count, std::uint64_t& total,
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

// The entries of a list read_stored_list accepted, one after another.
class StoredListCursor {
 public:
  explicit StoredListCursor(kvn::ByteSpan list) noexcept : reader_(list) {}

  // The next entry; false once the list is used up.
  bool next(kvn::ByteSpan& entry) noexcept {
    std::uint16_t length = 0;
    return reader_.read_u16(length) && reader_.read_bytes(length, entry);
  }

 private:
  kvn::ByteReader reader_;
};

}  // namespace kelvane::format::json_array
