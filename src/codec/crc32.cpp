#include "codec/crc32.hpp"

#include <zlib.h>

namespace kelvane::codec {

std::uint32_t crc32(kvn::ByteSpan data) noexcept {
  return static_cast<std::uint32_t>(::crc32_z(0L, data.data(), data.size()));
}

}  // namespace kelvane::codec
