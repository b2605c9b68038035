// String: each value's bytes without its surrounding quotes, length-prefixed;
// the decoder puts the quotes back on every value.
#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {

void encode_string_column(Values values, kvn::Bytes& out) {
  kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
  for (kvn::ByteSpan value : values) {
    if (schema::is_quoted(value)) value = value.subspan(1, value.size() - 2);
    kvn::append_u32_le(out, static_cast<std::uint32_t>(value.size()));
    kvn::append_bytes(out, value);
  }
}

void decode_string_column(kvn::ByteSpan body, ValueSink& sink) {
  kvn::ByteReader in(body);
  std::uint32_t count = 0;
  if (!in.read_u32(count)) return decode_raw(body, sink);
  for (std::uint32_t i = 0; i < count && !sink.full(); ++i) {
    std::uint32_t length = 0;
    kvn::ByteSpan bytes;
    if (!in.read_u32(length) || !in.read_bytes(length, bytes)) return;
    sink.begin_value();
    sink.append('"');
    sink.append(bytes);
    sink.append('"');
  }
}

}  // namespace kelvane::format::typed_encoding
