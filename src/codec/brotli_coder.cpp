#include "codec/brotli_coder.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include <brotli/decode.h>
#include <brotli/encode.h>

namespace kelvane::codec {

namespace {

constexpr std::size_t kStep = 4096;
constexpr const char* kUnexpectedEof = "Unexpected EOF";

struct EncoderFree {
  void operator()(BrotliEncoderState* s) const noexcept { BrotliEncoderDestroyInstance(s); }
};
struct DecoderFree {
  void operator()(BrotliDecoderState* s) const noexcept { BrotliDecoderDestroyInstance(s); }
};

}  // namespace

kvn::Result<kvn::Bytes> brotli_compress(kvn::ByteSpan data, std::uint32_t quality,
                                        std::uint32_t mode) {
  std::unique_ptr<BrotliEncoderState, EncoderFree> enc(
      BrotliEncoderCreateInstance(nullptr, nullptr, nullptr));
  if (!enc) return kvn::other_error(kvn::kOutOfMemory);
  const bool params_ok =
      BrotliEncoderSetParameter(enc.get(), BROTLI_PARAM_QUALITY, quality) &&
      BrotliEncoderSetParameter(enc.get(), BROTLI_PARAM_LGWIN, BROTLI_WINDOW_BITS) &&
      BrotliEncoderSetParameter(enc.get(), BROTLI_PARAM_MODE,
                                mode == BROTLI_MODE_TEXT ? BROTLI_MODE_TEXT : BROTLI_MODE_GENERIC);
  if (!params_ok) return kvn::unexpected_eof(kUnexpectedEof);

  kvn::Bytes result;
  std::array<std::uint8_t, kStep> out_buf;
  std::size_t fed = 0;           // input bytes handed to the encoder so far
  std::size_t avail_in = 0;
  const std::uint8_t* next_in = nullptr;
  std::size_t avail_out = kStep;
  std::uint8_t* next_out = out_buf.data();
  for (;;) {
    if (avail_in == 0 && fed < data.size()) {
      avail_in = std::min(kStep, data.size() - fed);
      next_in = data.data() + fed;
      fed += avail_in;
    }
    const BrotliEncoderOperation op = avail_in == 0 ? BROTLI_OPERATION_FINISH
                                                    : BROTLI_OPERATION_PROCESS;
    const bool ok = BrotliEncoderCompressStream(enc.get(), op, &avail_in, &next_in, &avail_out,
                                                &next_out, nullptr);
    const bool finished = BrotliEncoderIsFinished(enc.get());
    if (avail_out == 0 || finished) {
      result.insert(result.end(), out_buf.data(), next_out);
      avail_out = kStep;
      next_out = out_buf.data();
    }
    if (!ok) return kvn::unexpected_eof(kUnexpectedEof);
    if (finished) return result;
  }
}

kvn::Result<kvn::Bytes> brotli_decompress(kvn::ByteSpan payload, std::uint64_t limit) {
  std::unique_ptr<BrotliDecoderState, DecoderFree> dec(
      BrotliDecoderCreateInstance(nullptr, nullptr, nullptr));
  if (!dec) return kvn::other_error(kvn::kOutOfMemory);

  kvn::Bytes result;
  std::array<std::uint8_t, kStep> out_buf;
  std::size_t taken = 0;
  std::size_t avail_in = 0;
  const std::uint8_t* next_in = nullptr;
  std::size_t avail_out = kStep;
  std::uint8_t* next_out = out_buf.data();
  auto drain = [&] {
    result.insert(result.end(), out_buf.data(), next_out);
    avail_out = kStep;
    next_out = out_buf.data();
    return result.size() <= limit;
  };
  auto too_long = [&] {
    return kvn::invalid_data("brotli stream decodes to more than " + std::to_string(limit) +
                             " bytes");
  };
  BrotliDecoderResult state = BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT;
  for (;;) {
    switch (state) {
      case BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT:
        if (taken == payload.size()) return kvn::unexpected_eof(kUnexpectedEof);
        avail_in = std::min(kStep, payload.size() - taken);
        next_in = payload.data() + taken;
        taken += avail_in;
        break;
      case BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT:
        if (!drain()) return too_long();
        break;
      case BROTLI_DECODER_RESULT_SUCCESS:
        if (!drain()) return too_long();
        return result;
      case BROTLI_DECODER_RESULT_ERROR:
      default:
        return kvn::unexpected_eof(kUnexpectedEof);
    }
    state = BrotliDecoderDecompressStream(dec.get(), &avail_in, &next_in, &avail_out, &next_out,
                                          nullptr);
  }
}

}  // namespace kelvane::codec
