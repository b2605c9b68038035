// Integer: each value as the zigzag LEB128 of its difference from the value
// before it (the first from 0). Differences wrap in 64 bits, so any value
// may follow any other, the smallest after a positive one included.
#include <charconv>

#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"
#include "format/varint.hpp"

namespace kelvane::format::typed_encoding {

bool encode_integer_column(Values values, kvn::Bytes& out) {
  const std::size_t start = out.size();
  std::uint64_t previous = 0;
  for (const kvn::ByteSpan text : values) {
    const auto value = schema::parse_canonical_integer(text);
    if (!value) {
      out.resize(start);
      return false;
    }
    const auto current = static_cast<std::uint64_t>(*value);
    append_leb128(out, zigzag_encode(static_cast<std::int64_t>(current - previous)));
    previous = current;
  }
  return true;
}

void format_i64(std::int64_t value, ValueSink& sink) {
  char digits[20];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  sink.append(kvn::ByteSpan(reinterpret_cast<const std::uint8_t*>(digits),
                            static_cast<std::size_t>(result.ptr - digits)));
}

namespace {

// Decodes up to `count` values; returns how many varints were read.
std::uint64_t decode_values(kvn::ByteSpan body, std::uint64_t count, ValueSink& sink) {
  std::size_t pos = 0;
  std::uint64_t value = 0;
  std::uint64_t decoded = 0;
  for (; decoded < count && !sink.full(); ++decoded) {
    std::uint64_t z = 0;
    if (!read_leb128(body, pos, z)) break;
    value += static_cast<std::uint64_t>(zigzag_decode(z));
    sink.begin_value();
    format_i64(static_cast<std::int64_t>(value), sink);
  }
  return decoded;
}

}  // namespace

void decode_integer_column(kvn::ByteSpan body, ValueSink& sink) {
  decode_values(body, UINT64_MAX, sink);
}

void decode_integer_values(kvn::ByteSpan body, std::uint64_t count, ValueSink& sink) {
  static constexpr std::uint8_t kZero[] = {'0'};
  for (std::uint64_t i = decode_values(body, count, sink); i < count && !sink.full(); ++i) {
    sink.value(kZero);
  }
}

}  // namespace kelvane::format::typed_encoding
