// "balanced" until its GRU predictor is built.
#include "codec/cm_codec.hpp"

namespace kelvane::codec {

namespace {
kvn::CodecError unavailable(const char* mode) {
  return kvn::other_error(std::string("mode \"") + mode + "\" is not available yet");
}
}  // namespace

kvn::Result<kvn::Bytes> gru_compress(kvn::ByteSpan, const model::CMConfig&) {
  return unavailable("balanced");
}
kvn::Result<kvn::Bytes> gru_decompress(kvn::ByteSpan, std::uint32_t, const model::CMConfig&) {
  return unavailable("balanced");
}

}  // namespace kelvane::codec
