// The coding loops of "max" (context mixing) and "balanced" (context mixing
// blended with the GRU predictor). They code the transformed bytes; the
// caller writes and reads the 8-byte length prefix.
#pragma once

#include <cstdint>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"
#include "model/cm_config.hpp"

namespace kelvane::codec {

// Looks at the output of a decode while it grows, at the lengths it asks
// for, and may end the decode there: a caller that learns from the first
// bytes what the rest may hold refuses a forged stream before decoding it.
// The decoded bytes are the same with or without a watch.
inline constexpr std::uint64_t kNoCheck = UINT64_MAX;
class DecodeWatch {
 public:
  // The output length at which check() runs next (it may be the current
  // one again); kNoCheck when there is none.
  virtual std::uint64_t next_check() const noexcept = 0;
  // Sees the first next_check() bytes; an error ends the decode with it.
  virtual kvn::Status check(kvn::ByteSpan decoded) = 0;

 protected:
  ~DecodeWatch() = default;
};

kvn::Result<kvn::Bytes> cm_compress(kvn::ByteSpan data, const model::CMConfig& config);
kvn::Result<kvn::Bytes> cm_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                      const model::CMConfig& config);
// The same, `watch` seeing the output as it grows.
kvn::Result<kvn::Bytes> cm_decompress_watched(kvn::ByteSpan stream, std::uint32_t out_len,
                                              const model::CMConfig& config, DecodeWatch& watch);

kvn::Result<kvn::Bytes> gru_compress(kvn::ByteSpan data, const model::CMConfig& config);
kvn::Result<kvn::Bytes> gru_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                       const model::CMConfig& config);
kvn::Result<kvn::Bytes> gru_decompress_watched(kvn::ByteSpan stream, std::uint32_t out_len,
                                               const model::CMConfig& config, DecodeWatch& watch);

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
