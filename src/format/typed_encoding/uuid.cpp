// Uuid: the 32 hex digits of a quoted lower-case UUID as 16 bytes, the
// first digit of each pair in the high nibble.
#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::size_t kUuidBytes = 16;

// The value of a lower-case hex digit, or -1.
int lower_hex_value(std::uint8_t c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool is_dash_position(std::size_t i) noexcept {
  for (const std::size_t dash : schema::kUuidDashes) {
    if (i == dash) return true;
  }
  return false;
}

// Appends the 16 bytes of `value`; false when it is not a quoted lower-case UUID.
bool append_uuid_bytes(kvn::ByteSpan value, kvn::Bytes& out) {
  if (value.size() != schema::kUuidTextSize || !schema::is_quoted(value)) return false;
  int high = -1;
  for (std::size_t i = 1; i + 1 < schema::kUuidTextSize; ++i) {
    if (is_dash_position(i)) {
      if (value[i] != '-') return false;
      continue;
    }
    const int digit = lower_hex_value(value[i]);
    if (digit < 0) return false;
    if (high < 0) {
      high = digit;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  return true;
}

}  // namespace

bool encode_uuid_column(Values values, kvn::Bytes& out) {
  const std::size_t start = out.size();
  kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
  for (const kvn::ByteSpan value : values) {
    if (!append_uuid_bytes(value, out)) {
      out.resize(start);
      return false;
    }
  }
  return true;
}

void decode_uuid_column(kvn::ByteSpan body, ValueSink& sink) {
  kvn::ByteReader in(body);
  std::uint32_t count = 0;
  if (!in.read_u32(count)) return decode_raw(body, sink);
  for (std::uint32_t i = 0; i < count && !sink.full(); ++i) {
    kvn::ByteSpan bytes;
    if (!in.read_bytes(kUuidBytes, bytes)) return;
    std::uint8_t text[schema::kUuidTextSize];
    std::size_t t = 0;
    text[t++] = '"';
    for (std::size_t b = 0; b < kUuidBytes; ++b) {
      text[t++] = static_cast<std::uint8_t>(kLowerHexDigits[bytes[b] >> 4]);
      text[t++] = static_cast<std::uint8_t>(kLowerHexDigits[bytes[b] & 0xF]);
      if (b == 3 || b == 5 || b == 7 || b == 9) text[t++] = '-';
    }
    text[t++] = '"';
    sink.value(kvn::ByteSpan(text, t));
  }
}

}  // namespace kelvane::format::typed_encoding
