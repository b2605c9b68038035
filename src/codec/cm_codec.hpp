// The coding loops of "max" (context mixing) and "balanced" (context mixing
// blended with the GRU predictor). They code the transformed bytes; the
// caller writes and reads the 8-byte length prefix.
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"
#include "model/cm_config.hpp"

namespace kelvane::codec {

kvn::Result<kvn::Bytes> cm_compress(kvn::ByteSpan data, const model::CMConfig& config);
kvn::Result<kvn::Bytes> cm_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                      const model::CMConfig& config);

kvn::Result<kvn::Bytes> gru_compress(kvn::ByteSpan data, const model::CMConfig& config);
kvn::Result<kvn::Bytes> gru_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                       const model::CMConfig& config);

// The largest output a coded stream of `stream_bytes` bytes can honestly
// declare, with a safety factor of 2. The reader refuses longer declarations
// before it builds an engine, so a forged length cannot buy gigabytes.
//
// Why it holds: let W = high - low + 1 be the coder's interval width, 2^32 at
// the start. Every coded bit gives W' <= W * 4095/4096 + 1/4096, because the
// coded probability is clamped to 1..4095 (the split rounds down, costing at
// most one point); with W <= 2^32 each bit takes at least
// d = log2(4096 * 2^32 / (4095 * 2^32 + 1)) bits of width. Each byte shifted
// out multiplies W by exactly 256, and after the last bit the top bytes of
// low and high differ, so W >= 2. A stream of n bytes is s = n - 4 shifted
// bytes plus the four bytes of the final low, hence
//   bits coded * d <= 32 + 8 * s - 1 = 8 * n - 1,
// and the output length is at most (8n - 1) / (8d) < 2838.8 * n bytes.
inline constexpr std::uint64_t CM_BYTES_PER_STREAM_BYTE = 2839;

constexpr std::uint64_t cm_max_decoded_length(std::uint64_t stream_bytes) noexcept {
  return 2 * CM_BYTES_PER_STREAM_BYTE * stream_bytes;
}

}  // namespace kelvane::codec
