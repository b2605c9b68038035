// FsstString (decoded only): quoted strings whose bytes are FSST codes.
//
// Body: u16 symbol count n, n symbols of 8 bytes, n symbol lengths, u32
// value count, then per value u32 code length and the codes. A table or a
// code that no encoder writes makes the whole column read as Raw.
#include <array>

#include "format/typed_encoding/column_codecs.hpp"
#include "fsst/fsst.hpp"

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::size_t kPieceCodes = 512;
constexpr std::size_t kPieceBufferBytes = kPieceCodes * fsst::kSymbolBytes + 15;

// Reads one value's u32 code length and codes; false when they do not fit.
bool next_value(kvn::ByteReader& in, kvn::ByteSpan& codes) {
  std::uint32_t length = 0;
  return in.read_u32(length) && in.read_bytes(length, codes);
}

}  // namespace

void decode_fsst_string_column(kvn::ByteSpan body, ValueSink& sink) {
  kvn::ByteReader in(body);
  std::uint16_t n = 0;
  kvn::ByteSpan symbols, lengths;
  if (!in.read_u16(n) || !in.read_bytes(std::uint64_t{n} * fsst::kSymbolBytes, symbols) ||
      !in.read_bytes(n, lengths)) {
    return decode_raw(body, sink);
  }
  const auto table = fsst::Decompressor::create(symbols, lengths);
  std::uint32_t count = 0;
  if (!table || !in.read_u32(count)) return decode_raw(body, sink);

  // Every value's codes are checked before anything is written: the values
  // that fit in the body, each one a walk an encoder could have written.
  const kvn::ByteReader values = in;
  std::uint32_t present = 0;
  for (kvn::ByteSpan codes; present < count && next_value(in, codes); ++present) {
    if (!table->codes_valid(codes)) return decode_raw(body, sink);
  }
  // Then decoded a piece at a time through a buffer of fixed size.
  std::array<std::uint8_t, kPieceBufferBytes> piece;
  in = values;
  kvn::ByteSpan codes;
  for (std::uint32_t i = 0; i < present && !sink.full(); ++i) {
    next_value(in, codes);
    sink.begin_value();
    sink.append('"');
    for (std::size_t pos = 0, read = 0; pos < codes.size() && !sink.full(); pos += read) {
      const std::size_t size = table->decompress_prefix(codes.subspan(pos), kPieceCodes, piece.data(), read);
      sink.append(kvn::ByteSpan(piece.data(), size));
    }
    sink.append('"');
  }
}

}  // namespace kelvane::format::typed_encoding
