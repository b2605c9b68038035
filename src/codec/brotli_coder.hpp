// Brotli payloads of "fast" containers: one stream, written and read through
// the streaming API with 4096-byte steps, the result growing as output
// arrives.
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

inline constexpr std::uint32_t BROTLI_MODE_GENERIC = 0;
inline constexpr std::uint32_t BROTLI_MODE_TEXT = 1;
inline constexpr int BROTLI_WINDOW_BITS = 22;

// One complete brotli stream of `data` at `quality`, window 22, text mode
// when `mode` is 1 and generic otherwise. An encoder failure is
// UnexpectedEof "Unexpected EOF".
kvn::Result<kvn::Bytes> brotli_compress(kvn::ByteSpan data, std::uint32_t quality,
                                        std::uint32_t mode);

// Decodes the brotli stream at the start of `payload`; bytes after its end
// are not read. A stream that is cut short or corrupt is UnexpectedEof
// "Unexpected EOF"; output that would pass `limit` bytes is InvalidData.
kvn::Result<kvn::Bytes> brotli_decompress(kvn::ByteSpan payload,
                                          std::uint64_t limit = UINT64_MAX);

}  // namespace kelvane::codec
