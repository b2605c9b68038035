// Nullable: a presence bitmap over all values and an inner body over the
// non-null ones.
//
// Body: u8 inner tag, u32 count (nulls included), u32 bitmap length B =
// ceil(count / 8), B bytes with bit i set when value i is not `null`
// (least significant bit first), then the inner body.
#include <algorithm>
#include <bit>

#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::size_t kBitmapOffset = 9;

bool bit_set(kvn::ByteSpan bits, std::uint64_t i) noexcept { return (bits[i / 8] >> (i % 8)) & 1u; }

std::uint64_t count_set_bits(kvn::ByteSpan bits, std::uint64_t count) noexcept {
  std::uint64_t set = 0;
  for (std::uint64_t byte = 0; byte < count / 8; ++byte) set += std::popcount(bits[byte]);
  for (std::uint64_t i = count / 8 * 8; i < count; ++i) set += bit_set(bits, i);
  return set;
}

bool encode_inner(ColumnEncoding inner, Values values, kvn::Bytes& out) {
  switch (inner) {
    case ColumnEncoding::Integer: return encode_integer_column(values, out);
    case ColumnEncoding::Boolean: encode_boolean_column(values, out); return true;
    case ColumnEncoding::Timestamp: return encode_timestamp_column(values, out);
    case ColumnEncoding::Enum: return encode_enum_column(values, out);
    case ColumnEncoding::String: encode_string_column(values, out); return true;
    case ColumnEncoding::Uuid: return encode_uuid_column(values, out);
    default: return false;
  }
}

}  // namespace

std::optional<ColumnEncoding> encode_nullable_column(Values values, ColumnEncoding inner,
                                                     kvn::Bytes& out) {
  const std::size_t start = out.size();
  const std::size_t bitmap_length = (values.size() + 7) / 8;
  out.push_back(static_cast<std::uint8_t>(inner));
  kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
  kvn::append_u32_le(out, static_cast<std::uint32_t>(bitmap_length));
  const std::size_t bitmap = out.size();
  out.resize(bitmap + bitmap_length, 0);
  std::vector<kvn::ByteSpan> present;
  present.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (schema::is_null(values[i])) continue;
    out[bitmap + i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    present.push_back(values[i]);
  }
  // The String decoder quotes every value, so String holds (or stands in
  // for a declining encoder over) only values that all carry their quotes.
  const bool all_quoted = std::all_of(present.begin(), present.end(), schema::is_quoted);
  if ((inner != ColumnEncoding::String || all_quoted) && encode_inner(inner, present, out)) {
    return inner;
  }
  const bool may_fall_back = inner == ColumnEncoding::Timestamp || inner == ColumnEncoding::Enum ||
                             inner == ColumnEncoding::Uuid;
  if (!may_fall_back || !all_quoted) {
    out.resize(start);
    return std::nullopt;
  }
  out[start] = static_cast<std::uint8_t>(ColumnEncoding::String);
  encode_string_column(present, out);
  return ColumnEncoding::String;
}

void decode_nullable_column(kvn::ByteSpan body, ValueSink& sink) {
  if (body.size() < kBitmapOffset) return;
  const std::uint8_t inner = body[0];
  const std::uint32_t bitmap_length = kvn::load_u32_le(body.data() + 5);
  if (bitmap_length > body.size() - kBitmapOffset) return;
  const kvn::ByteSpan bits = body.subspan(kBitmapOffset, bitmap_length);
  const kvn::ByteSpan inner_body = body.subspan(kBitmapOffset + bitmap_length);
  const std::uint64_t count =
      std::min<std::uint64_t>(kvn::load_u32_le(body.data() + 1), std::uint64_t{8} * bitmap_length);

  // The inner decoder's values go straight to the set bits, the nulls
  // between them as they come; set bits left over become `null` too.
  sink.place_at(bits, count);
  switch (inner) {
    case static_cast<std::uint8_t>(ColumnEncoding::Integer):
      decode_integer_values(inner_body, count_set_bits(bits, count), sink);
      break;
    case static_cast<std::uint8_t>(ColumnEncoding::Boolean):
    case static_cast<std::uint8_t>(ColumnEncoding::Timestamp):
    case static_cast<std::uint8_t>(ColumnEncoding::Enum):
    case static_cast<std::uint8_t>(ColumnEncoding::String):
    case static_cast<std::uint8_t>(ColumnEncoding::Uuid):
    case static_cast<std::uint8_t>(ColumnEncoding::FsstString):
    case static_cast<std::uint8_t>(ColumnEncoding::HexPrefix):
      decode_column(inner, inner_body, sink);
      break;
    default:  // no non-null values
      break;
  }
  if (!sink.full()) sink.finish_places();
}

}  // namespace kelvane::format::typed_encoding
