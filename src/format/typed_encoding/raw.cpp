// Raw: a column's values exactly as ColumnarText holds them.
#include <cstring>

#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {

void encode_raw(Values values, kvn::Bytes& out) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.push_back(kValueSeparator);
    kvn::append_bytes(out, values[i]);
  }
}

void decode_raw(kvn::ByteSpan body, ValueSink& sink) {
  const std::uint8_t* p = body.data();
  const std::uint8_t* const end = p + body.size();
  for (;;) {
    const auto* hit = static_cast<const std::uint8_t*>(
        p == end ? nullptr : std::memchr(p, kValueSeparator, static_cast<std::size_t>(end - p)));
    if (hit == nullptr) {
      sink.value(kvn::ByteSpan(p, end));
      return;
    }
    sink.value(kvn::ByteSpan(p, hit));
    if (sink.full()) return;
    p = hit + 1;
  }
}

}  // namespace kelvane::format::typed_encoding
