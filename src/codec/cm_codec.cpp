// The coding loops of "max": every bit of the input, most significant first,
// is predicted by the engine, coded, and fed back to the engine.
#include "codec/cm_codec.hpp"

#include "codec/coding_loops.hpp"
#include "model/engine.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::codec {

namespace {
// From this many bytes on, the engine's tables are offered huge pages: such
// an input touches nearly all of them.
constexpr std::uint64_t kHugePageInput = std::uint64_t{4} << 20;
constexpr auto kNothingAfterByte = [](std::uint64_t) {};
}  // namespace

kvn::Result<kvn::Bytes> cm_compress(kvn::ByteSpan data, const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    const state::HugePageScope pages(data.size() >= kHugePageInput);
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    return encode_bytes(engine, data, kNothingAfterByte);
  });
}

namespace {

kvn::Result<kvn::Bytes> decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                   const model::CMConfig& config, DecodeWatch* watch) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    // The engine is built even for an empty output, as the encoder does.
    const state::HugePageScope pages(out_len >= kHugePageInput);
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    return decode_bytes(engine, stream, out_len, kNothingAfterByte, watch);
  });
}

}  // namespace

kvn::Result<kvn::Bytes> cm_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                      const model::CMConfig& config) {
  return decompress(stream, out_len, config, nullptr);
}

kvn::Result<kvn::Bytes> cm_decompress_watched(kvn::ByteSpan stream, std::uint32_t out_len,
                                              const model::CMConfig& config, DecodeWatch& watch) {
  return decompress(stream, out_len, config, &watch);
}

}  // namespace kelvane::codec
