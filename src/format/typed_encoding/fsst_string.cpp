// FsstString (decoded only): quoted strings whose bytes are FSST codes.
//
// Body: u16 symbol count n, n symbols of 8 bytes, n symbol lengths, u32
// value count, then per value u32 code length and the codes. A table or a
// code that no encoder writes makes the whole column read as Raw.
#include <algorithm>
#include <vector>

#include "format/typed_encoding/column_codecs.hpp"
#include "fsst/fsst.hpp"

namespace kelvane::format::typed_encoding {

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

  // Every value's codes, checked before anything is written: the values
  // that fit in the body, and each one a walk an encoder could have written.
  std::vector<kvn::ByteSpan> codes;
  std::size_t longest = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t length = 0;
    kvn::ByteSpan value;
    if (!in.read_u32(length) || !in.read_bytes(length, value)) break;
    if (!table->codes_valid(value)) return decode_raw(body, sink);
    codes.push_back(value);
    longest = std::max(longest, value.size());
  }
  const auto capacity = fsst::output_capacity(longest);
  if (!capacity) return decode_raw(body, sink);
  kvn::Bytes decoded(*capacity);
  for (const kvn::ByteSpan value : codes) {
    if (sink.full()) return;
    const std::size_t size = table->decompress_into(value, decoded.data());
    sink.begin_value();
    sink.append('"');
    sink.append(kvn::ByteSpan(decoded).first(size));
    sink.append('"');
  }
}

}  // namespace kelvane::format::typed_encoding
