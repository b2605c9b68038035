// CRC-32 (IEEE 802.3, reflected, init and final XOR 0xFFFFFFFF) over the
// uncompressed input, as zlib computes it.
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::codec {

std::uint32_t crc32(kvn::ByteSpan data) noexcept;

}  // namespace kelvane::codec
