// Writing rebuilt text into an output whose exact size is known: values and
// pieces are mostly a few bytes long, so they are copied with fixed-size
// moves rather than a library call per value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kvn/bytes.hpp"

namespace kelvane::format::ndjson {

// Copies `bytes` to `w` and advances it; `w` must have room for them.
inline void put(std::uint8_t*& w, kvn::ByteSpan bytes) noexcept {
  const std::size_t n = bytes.size();
  const std::uint8_t* s = bytes.data();
  if (n > 16) {
    std::memcpy(w, s, n);
  } else if (n >= 8) {
    std::memcpy(w, s, 8);
    std::memcpy(w + n - 8, s + n - 8, 8);
  } else if (n >= 4) {
    std::memcpy(w, s, 4);
    std::memcpy(w + n - 4, s + n - 4, 4);
  } else {
    for (std::size_t i = 0; i < n; ++i) w[i] = s[i];
  }
  w += n;
}

}  // namespace kelvane::format::ndjson
