// The coding loops of "max": every bit of the input, most significant first,
// is predicted by the engine, coded, and fed back to the engine.
#include "codec/cm_codec.hpp"

#include "codec/coding_loops.hpp"
#include "model/engine.hpp"

namespace kelvane::codec {

namespace {
constexpr auto kNothingAfterByte = [](std::uint64_t) {};
}  // namespace

kvn::Result<kvn::Bytes> cm_compress(kvn::ByteSpan data, const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    return encode_bytes(engine, data, kNothingAfterByte);
  });
}

kvn::Result<kvn::Bytes> cm_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                      const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    // The engine is built even for an empty output, as the encoder does.
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    return decode_bytes(engine, stream, out_len, kNothingAfterByte);
  });
}

}  // namespace kelvane::codec
