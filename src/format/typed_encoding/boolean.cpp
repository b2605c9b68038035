// Boolean: u32 count, then one bit per value, set for `true`, least
// significant bit first.
#include <algorithm>

#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::uint8_t kTrue[] = {'t', 'r', 'u', 'e'};
constexpr std::uint8_t kFalse[] = {'f', 'a', 'l', 's', 'e'};

}  // namespace

void encode_boolean_column(Values values, kvn::Bytes& out) {
  kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
  const std::size_t bitmap = out.size();
  out.resize(bitmap + (values.size() + 7) / 8, 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (schema::equals(values[i], "true", 4)) {
      out[bitmap + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    }
  }
}

void decode_boolean_column(kvn::ByteSpan body, ValueSink& sink) {
  if (body.size() < 4) return;
  const kvn::ByteSpan bits = body.subspan(4);
  const std::uint64_t count =
      std::min<std::uint64_t>(kvn::load_u32_le(body.data()), std::uint64_t{8} * bits.size());
  for (std::uint64_t i = 0; i < count && !sink.full(); ++i) {
    const bool set = (bits[i / 8] >> (i % 8)) & 1u;
    sink.value(set ? kvn::ByteSpan(kTrue) : kvn::ByteSpan(kFalse));
  }
}

}  // namespace kelvane::format::typed_encoding
