// The Timestamp column codec: the calendar, the ISO 8601 parser and writer,
// and the column's body in both directions.
#include "format/typed_encoding/timestamp.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "format/schema/value_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"
#include "format/varint.hpp"

namespace kelvane::format::typed_encoding {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr std::int64_t kMicrosPerMinute = 60 * kMicrosPerSecond;
constexpr std::int64_t kMicrosPerDay = 86'400 * kMicrosPerSecond;
// Local times that write as years 0000 to 9999: 0000-01-01T00:00:00 is day
// -719528, 10000-01-01T00:00:00 day 2932897.
constexpr std::int64_t kFirstLocalMicros = -719'528 * kMicrosPerDay;
constexpr std::int64_t kEndLocalMicros = 2'932'897 * kMicrosPerDay;

constexpr std::size_t kHeaderSize = 16;  // up to the mode byte
constexpr std::uint8_t kDeltaOfDelta = 1;

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

std::uint32_t digits_value(kvn::ByteSpan v, std::size_t pos, std::size_t count) noexcept {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = value * 10 + (v[pos + i] - '0');
  return value;
}

}  // namespace

std::optional<std::int64_t> days_since_epoch(std::int64_t year, std::uint32_t month,
                                             std::uint32_t day) noexcept {
  if (year < 0 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
    return std::nullopt;
  }
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - 400 * era;
  const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const std::int64_t doe = 365 * yoe + yoe / 4 - yoe / 100 + doy;
  return 146'097 * era + doe - 719'468;
}

std::optional<ParsedTimestamp> parse_iso8601_to_micros(kvn::ByteSpan v) noexcept {
  if (!schema::is_iso8601_shape(v)) return std::nullopt;
  ParsedTimestamp parsed;
  const std::size_t close = v.size() - 1;
  std::size_t pos = 20;
  std::int64_t fraction = 0;
  if (v[pos] == '.') {
    const std::size_t first = ++pos;
    while (pos < close && schema::is_digit(v[pos])) ++pos;
    const std::size_t n = (pos - first) % 256;
    parsed.fraction_digits = static_cast<std::uint8_t>(n);
    fraction = digits_value(v, first, std::min<std::size_t>(n, 6));
    for (std::size_t i = n; i < 6 && n > 0; ++i) fraction *= 10;
  }
  if (v[pos] == 'Z') {
    parsed.zone = ZoneKind::Utc;
  } else if (v[pos] == '+' || v[pos] == '-') {
    parsed.zone = ZoneKind::Offset;
    const auto minutes =
        static_cast<std::int16_t>(digits_value(v, pos + 1, 2) * 60 + digits_value(v, pos + 4, 2));
    parsed.offset_minutes = v[pos] == '-' ? static_cast<std::int16_t>(-minutes) : minutes;
  }
  const auto days = days_since_epoch(digits_value(v, 1, 4), digits_value(v, 6, 2),
                                     digits_value(v, 9, 2));
  if (!days) return std::nullopt;
  const std::int64_t seconds = *days * 86'400 + std::int64_t{digits_value(v, 12, 2)} * 3600 +
                               std::int64_t{digits_value(v, 15, 2)} * 60 +
                               digits_value(v, 18, 2) - std::int64_t{parsed.offset_minutes} * 60;
  parsed.micros = seconds * kMicrosPerSecond + fraction;
  return parsed;
}

namespace {

// The text of one timestamp, built on the stack and appended in one piece:
// at most 1 + 19 + 1 + 255 fraction digits + 10 zone bytes + 1.
class TextBuffer {
 public:
  void put(char c) noexcept { bytes_[size_++] = static_cast<std::uint8_t>(c); }
  // `value` in decimal, padded with '0' to `width` (at most 255) digits.
  void put_digits(std::uint64_t value, std::size_t width) noexcept {
    char digits[20];
    std::size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    for (std::size_t i = n; i < width; ++i) put('0');
    while (n > 0) put(digits[--n]);
  }
  void append_to(kvn::Bytes& out) const { out.insert(out.end(), bytes_, bytes_ + size_); }

 private:
  std::uint8_t bytes_[320];
  std::size_t size_ = 0;
};

}  // namespace

void write_digits(kvn::Bytes& out, std::uint64_t value, std::size_t width) {
  if (width > 255) out.insert(out.end(), width - 255, '0');
  TextBuffer text;
  text.put_digits(value, std::min<std::size_t>(width, 255));
  text.append_to(out);
}

bool micros_to_iso8601(std::int64_t micros, ZoneKind zone, std::int16_t offset_minutes,
                       std::uint8_t fraction_digits, kvn::Bytes& out) {
  std::int64_t local = 0;
  if (__builtin_add_overflow(micros, std::int64_t{offset_minutes} * kMicrosPerMinute, &local) ||
      local < kFirstLocalMicros || local >= kEndLocalMicros) {
    return false;
  }
  const std::int64_t day = floor_div(local, kMicrosPerDay);
  const std::int64_t r = local - day * kMicrosPerDay;
  const std::int64_t seconds = r / kMicrosPerSecond;
  const std::int64_t fraction = r % kMicrosPerSecond;

  const std::int64_t z = day + 719'468;
  const std::int64_t era = floor_div(z, 146'097);
  const std::int64_t doe = z - 146'097 * era;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day_of_month = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yoe + 400 * era + (month <= 2 ? 1 : 0);

  TextBuffer text;
  text.put('"');
  text.put_digits(static_cast<std::uint64_t>(year), 4);
  text.put('-');
  text.put_digits(static_cast<std::uint64_t>(month), 2);
  text.put('-');
  text.put_digits(static_cast<std::uint64_t>(day_of_month), 2);
  text.put('T');
  text.put_digits(static_cast<std::uint64_t>(seconds / 3600), 2);
  text.put(':');
  text.put_digits(static_cast<std::uint64_t>(seconds % 3600 / 60), 2);
  text.put(':');
  text.put_digits(static_cast<std::uint64_t>(seconds % 60), 2);
  if (fraction_digits > 0) {
    std::int64_t shown = fraction;
    for (int i = fraction_digits; i < 6; ++i) shown /= 10;
    text.put('.');
    text.put_digits(static_cast<std::uint64_t>(shown), fraction_digits);
  }
  if (zone == ZoneKind::Utc) {
    text.put('Z');
  } else if (zone == ZoneKind::Offset) {
    // Widened first: the magnitude of -32768 does not fit 16 bits.
    const std::int32_t magnitude = std::abs(std::int32_t{offset_minutes});
    text.put(offset_minutes < 0 ? '-' : '+');
    text.put_digits(static_cast<std::uint64_t>(magnitude / 60), 2);
    text.put(':');
    text.put_digits(static_cast<std::uint64_t>(magnitude % 60), 2);
  }
  text.put('"');
  text.append_to(out);
  return true;
}

bool encode_timestamp_column(Values values, kvn::Bytes& out) {
  if (values.empty()) return true;
  const std::size_t start = out.size();
  const auto decline = [&] {
    out.resize(start);
    return false;
  };
  kvn::Bytes written;  // each value as the decoder would write it
  ParsedTimestamp column;
  std::uint64_t previous = 0, previous_delta = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto parsed = parse_iso8601_to_micros(values[i]);
    if (!parsed) return decline();
    if (i == 0) {
      column = *parsed;
      previous = static_cast<std::uint64_t>(column.micros);
      kvn::append_u64_le(out, previous);
      out.push_back(static_cast<std::uint8_t>(column.zone));
      kvn::append_u16_le(out, static_cast<std::uint16_t>(column.offset_minutes));
      out.push_back(column.fraction_digits);
      kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
      out.push_back(kDeltaOfDelta);
    } else if (parsed->zone != column.zone || parsed->offset_minutes != column.offset_minutes ||
               parsed->fraction_digits != column.fraction_digits) {
      return decline();
    }
    written.clear();
    if (!micros_to_iso8601(parsed->micros, column.zone, column.offset_minutes,
                           column.fraction_digits, written) ||
        written.size() != values[i].size() ||
        std::memcmp(written.data(), values[i].data(), written.size()) != 0) {
      return decline();
    }
    const auto t = static_cast<std::uint64_t>(parsed->micros);
    const std::uint64_t delta = t - previous;
    append_leb128(out, zigzag_encode(static_cast<std::int64_t>(delta - previous_delta)));
    previous = t;
    previous_delta = delta;
  }
  return true;
}

void decode_timestamp_column(kvn::ByteSpan body, ValueSink& sink) {
  if (body.size() < kHeaderSize) return decode_raw(body, sink);
  const auto base = static_cast<std::int64_t>(kvn::load_u64_le(body.data()));
  const std::uint8_t zone_byte = body[8];
  const ZoneKind zone = zone_byte <= 2 ? static_cast<ZoneKind>(zone_byte) : ZoneKind::None;
  const auto offset = static_cast<std::int16_t>(kvn::load_u16_le(body.data() + 9));
  const std::uint8_t digits = body[11];
  const bool delta_of_delta = body.size() > kHeaderSize && body[kHeaderSize] == kDeltaOfDelta;
  const kvn::ByteSpan varints = body.subspan(kHeaderSize + (delta_of_delta ? 1 : 0));
  const std::uint64_t count =
      std::min<std::uint64_t>(kvn::load_u32_le(body.data() + 12), varints.size());

  // The text of the last time that could be written; a time that cannot
  // (outside the years 0000-9999) repeats it, as a cut stream does.
  kvn::Bytes last;
  if (!micros_to_iso8601(base, zone, offset, digits, last)) return decode_raw(body, sink);
  std::uint64_t t = static_cast<std::uint64_t>(base), d = 0;
  std::size_t pos = 0;
  bool cut = false;
  kvn::Bytes text;
  for (std::uint64_t i = 0; i < count && !sink.full(); ++i) {
    std::uint64_t z = 0;
    if (!cut && read_leb128(varints, pos, z)) {
      const auto number = static_cast<std::uint64_t>(zigzag_decode(z));
      if (delta_of_delta) {
        d += number;
        t += d;
      } else {
        t += number;
      }
      text.clear();
      if (micros_to_iso8601(static_cast<std::int64_t>(t), zone, offset, digits, text)) {
        last.swap(text);
      }
    } else {
      cut = true;
    }
    sink.value(last);
  }
}

}  // namespace kelvane::format::typed_encoding
