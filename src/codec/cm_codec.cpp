// The coding loops of "max": every bit of the input, most significant first,
// is predicted by the engine, coded, and fed back to the engine.
#include "codec/cm_codec.hpp"

#include "entropy/arithmetic.hpp"
#include "model/engine.hpp"
#include "state/zeroed_table.hpp"

namespace kelvane::codec {

namespace {
// From this many bytes on, the engine's tables are offered huge pages: such
// an input touches nearly all of them.
constexpr std::uint64_t kHugePageInput = std::uint64_t{4} << 20;
}  // namespace

kvn::Result<kvn::Bytes> cm_compress(kvn::ByteSpan data, const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    const state::HugePageScope pages(data.size() >= kHugePageInput);
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    entropy::ArithmeticEncoder encoder;
    for (const std::uint8_t byte : data) {
      for (int i = 7; i >= 0; --i) {
        const std::uint32_t bit = (byte >> i) & 1u;
        encoder.encode(static_cast<int>(bit), engine.predict());
        engine.update(bit);
      }
    }
    return encoder.finish();
  });
}

kvn::Result<kvn::Bytes> cm_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                      const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    // The engine is built even for an empty output, as the encoder does.
    const state::HugePageScope pages(out_len >= kHugePageInput);
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    kvn::Bytes out;
    if (out_len == 0) return out;
    out.reserve(out_len);
    entropy::ArithmeticDecoder decoder(stream);
    for (std::uint32_t n = 0; n < out_len; ++n) {
      std::uint32_t byte = 0;
      for (int i = 0; i < 8; ++i) {
        const auto bit = static_cast<std::uint32_t>(decoder.decode(engine.predict()));
        engine.update(bit);
        byte = (byte << 1) | bit;
      }
      out.push_back(static_cast<std::uint8_t>(byte));
    }
    return out;
  });
}

}  // namespace kelvane::codec
