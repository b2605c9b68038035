// The bit loops of the context-mixing modes: every byte is coded most
// significant bit first, each bit with the probability the predictor gives
// for it, and the predictor then takes the bit. "max" runs them with the
// engine alone, "balanced" with the engine blended with the GRU.
//
// A Predictor has predict() -> p (1..4095, the probability of a 1) and
// update(bit), called strictly in turn. after_byte(done) runs once each
// byte is complete (and, when decoding, appended to the output).
#pragma once

#include <cstdint>

#include "codec/cm_codec.hpp"
#include "entropy/arithmetic.hpp"
#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

template <class Predictor, class AfterByte>
kvn::Bytes encode_bytes(Predictor& predictor, kvn::ByteSpan data, AfterByte&& after_byte) {
  entropy::ArithmeticEncoder encoder;
  std::uint64_t done = 0;
  for (const std::uint8_t byte : data) {
    for (int i = 7; i >= 0; --i) {
      const std::uint32_t bit = (byte >> i) & 1u;
      encoder.encode(static_cast<int>(bit), predictor.predict());
      predictor.update(bit);
    }
    after_byte(++done);
  }
  return encoder.finish();
}

// Decodes exactly out_len bytes (none, without reading, for 0); past the end
// of `stream` the decoder reads zeros, so it fails only when `watch` (if
// any) stops it at one of the lengths it asks to see.
template <class Predictor, class AfterByte>
kvn::Result<kvn::Bytes> decode_bytes(Predictor& predictor, kvn::ByteSpan stream,
                                     std::uint32_t out_len, AfterByte&& after_byte,
                                     DecodeWatch* watch) {
  kvn::Bytes out;
  if (out_len == 0) return out;
  out.reserve(out_len);
  std::uint64_t next_check = watch != nullptr ? watch->next_check() : kNoCheck;
  entropy::ArithmeticDecoder decoder(stream);
  for (std::uint32_t n = 0; n < out_len; ++n) {
    while (n == next_check) {
      KVN_RETURN_IF_ERROR(watch->check(out));
      next_check = watch->next_check();
    }
    std::uint32_t byte = 0;
    for (int i = 0; i < 8; ++i) {
      const auto bit = static_cast<std::uint32_t>(decoder.decode(predictor.predict()));
      byte = (byte << 1) | bit;
      if (i == 7) out.push_back(static_cast<std::uint8_t>(byte));
      predictor.update(bit);
    }
    after_byte(std::uint64_t{n} + 1);
  }
  return out;
}

}  // namespace kelvane::codec
