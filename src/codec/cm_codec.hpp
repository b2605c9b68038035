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
// declare. Every coded bit narrows the coder's range by at least 4095/4096
// (probabilities are clamped to 1..4095), so n stream bytes hold at most
// about 2839 x (n + 4) output bytes; twice that is allowed for safety. The
// reader refuses longer declarations before it builds an engine.
constexpr std::uint64_t cm_max_decoded_length(std::uint64_t stream_bytes) noexcept {
  return 2 * 2840 * (stream_bytes + 4);
}

}  // namespace kelvane::codec
