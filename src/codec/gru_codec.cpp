// The coding loops of "balanced": the loops of "max", with a GRU byte
// predictor trained on the coded bytes and a GruBlender that mixes its bit
// probability into the engine's before each bit is coded. The engine still
// learns from its own prediction; only the coder sees the blend.
//
// Per bit: p_cm = engine.predict(); p_gru from the GRU's distribution; p =
// blender.blend(p_cm, p_gru); code the bit with p; engine.update(bit);
// blender.update(bit). After the eighth bit of byte b: gru.train(b), then
// gru.forward(b), then the progress line.
#include <cstdio>
#include <string>

#include "codec/cm_codec.hpp"
#include "codec/coding_loops.hpp"
#include "codec/gru_progress.hpp"
#include "model/engine.hpp"
#include "model/gru_blend.hpp"
#include "model/gru_model.hpp"

namespace kelvane::codec {

namespace {

// The engine, the GRU and the blender of one call, stepped one bit at a time.
class BalancedPredictor {
 public:
  static kvn::Result<BalancedPredictor> create(const model::CMConfig& config) {
    KVN_ASSIGN_OR_RETURN(auto engine, model::CMEngine::with_config(config));
    KVN_ASSIGN_OR_RETURN(auto gru, model::GruModel::create());
    KVN_ASSIGN_OR_RETURN(auto blender, model::GruBlender::create());
    return BalancedPredictor(std::move(engine), std::move(gru), std::move(blender));
  }

  // The probability (1..4095) that the next bit is 1.
  std::uint32_t predict() noexcept {
    const std::uint32_t p_cm = engine_.predict();
    const std::uint32_t p_gru = model::gru_bit_probability(gru_, bp_, partial_);
    return blender_.blend(p_cm, p_gru);
  }

  // Takes the coded bit; strictly alternates with predict().
  void update(std::uint32_t bit) noexcept {
    engine_.update(bit);
    blender_.update(bit);
    partial_ = (partial_ << 1) | bit;
    if (++bp_ == 8) {
      const auto byte = static_cast<std::uint8_t>(partial_);
      gru_.train(byte);
      gru_.forward(byte);
      bp_ = 0;
      partial_ = 0;
    }
  }

 private:
  BalancedPredictor(model::CMEngine engine, model::GruModel gru, model::GruBlender blender)
      : engine_(std::move(engine)), gru_(std::move(gru)), blender_(std::move(blender)) {}

  model::CMEngine engine_;
  model::GruModel gru_;
  model::GruBlender blender_;
  std::uint32_t bp_ = 0;       // bits of the current byte coded so far
  std::uint32_t partial_ = 0;  // those bits
};

void report_progress(GruDirection direction, std::uint64_t done, std::uint64_t len) {
  if (len <= GRU_PROGRESS_MIN_LENGTH) return;
  const std::string text = gru_progress_text(direction, done, len);
  if (text.empty()) return;
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

std::string gru_progress_text(GruDirection direction, std::uint64_t done, std::uint64_t len) {
  if (len <= GRU_PROGRESS_MIN_LENGTH) return {};
  const char* verb = direction == GruDirection::Compress ? "compressing" : "decompressing";
  const std::string prefix = std::string("\r[gru] ") + verb + "... ";
  std::string text;
  if (done % (len / 20) == 0) text += prefix + std::to_string(done * 100 / len) + "%";
  if (done == len) text += prefix + "100%\n";
  return text;
}

kvn::Result<kvn::Bytes> gru_compress(kvn::ByteSpan data, const model::CMConfig& config) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    KVN_ASSIGN_OR_RETURN(auto predictor, BalancedPredictor::create(config));
    return encode_bytes(predictor, data, [&](std::uint64_t done) {
      report_progress(GruDirection::Compress, done, data.size());
    });
  });
}

namespace {

kvn::Result<kvn::Bytes> decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                   const model::CMConfig& config, DecodeWatch* watch) {
  return kvn::guard_alloc([&]() -> kvn::Result<kvn::Bytes> {
    // Everything is built even for an empty output, as the encoder does.
    KVN_ASSIGN_OR_RETURN(auto predictor, BalancedPredictor::create(config));
    return decode_bytes(predictor, stream, out_len, [&](std::uint64_t done) {
      report_progress(GruDirection::Decompress, done, out_len);
    }, watch);
  });
}

}  // namespace

kvn::Result<kvn::Bytes> gru_decompress(kvn::ByteSpan stream, std::uint32_t out_len,
                                       const model::CMConfig& config) {
  return decompress(stream, out_len, config, nullptr);
}

kvn::Result<kvn::Bytes> gru_decompress_watched(kvn::ByteSpan stream, std::uint32_t out_len,
                                               const model::CMConfig& config, DecodeWatch& watch) {
  return decompress(stream, out_len, config, &watch);
}

}  // namespace kelvane::codec
