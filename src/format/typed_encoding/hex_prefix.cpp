// HexPrefix (decoded only): values that share a prefix and go on with a
// fixed number of lower-case hex digits and a closing quote.
//
// Body: u16 prefix length p, the p prefix bytes, u8 digits per value d, u32
// count, then ceil(d / 2) bytes per value, high nibble first (for odd d the
// last low nibble is unused). A body with d = 0 reads as Raw: its values
// would take no bytes, so only the stored count would bound them.
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {

void decode_hex_prefix_column(kvn::ByteSpan body, ValueSink& sink) {
  if (body.size() <= 6) return decode_raw(body, sink);
  kvn::ByteReader in(body);
  std::uint16_t p = 0;
  kvn::ByteSpan prefix;
  std::uint8_t digits = 0;
  std::uint32_t count = 0;
  if (!in.read_u16(p) || !in.read_bytes(p, prefix) || !in.read_u8(digits) ||
      !in.read_u32(count) || digits == 0) {
    return decode_raw(body, sink);
  }
  const std::size_t width = (digits + 1u) / 2;
  for (std::uint32_t i = 0; i < count && !sink.full(); ++i) {
    kvn::ByteSpan bytes;
    if (!in.read_bytes(width, bytes)) return;
    sink.begin_value();
    sink.append(prefix);
    for (std::size_t d = 0; d < digits; ++d) {
      const std::uint8_t byte = bytes[d / 2];
      sink.append(static_cast<std::uint8_t>(kLowerHexDigits[d % 2 == 0 ? byte >> 4 : byte & 0xF]));
    }
    sink.append('"');
  }
}

}  // namespace kelvane::format::typed_encoding
