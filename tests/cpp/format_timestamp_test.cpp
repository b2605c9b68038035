// The Timestamp column codec: the calendar, parsing and writing ISO 8601
// texts, which columns it takes, its body, and its reverse on any stored
// value.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "format/typed_encoding/column_codecs.hpp"
#include "format/typed_encoding/timestamp.hpp"
#include "typed_test_support.hpp"

namespace {

using namespace typed_test;
using te::ZoneKind;

std::string written(std::int64_t micros, ZoneKind zone, std::int16_t offset, std::uint8_t digits) {
  Bytes out;
  if (!te::micros_to_iso8601(micros, zone, offset, digits, out)) return "(none)";
  return S(out);
}

TEST(Calendar, CountsDaysOfTheProlepticGregorianCalendar) {
  const struct {
    std::int64_t year;
    std::uint32_t month, day;
    std::optional<std::int64_t> days;
  } cases[] = {
      {1970, 1, 1, 0},        {1969, 12, 31, -1},      {2000, 3, 1, 11017},
      {2024, 2, 30, 19783},   {2024, 3, 1, 19783},     {0, 1, 1, -719528},
      {9999, 12, 31, 2932896}, {2024, 0, 1, std::nullopt}, {2024, 13, 1, std::nullopt},
      {2024, 1, 0, std::nullopt}, {2024, 1, 32, std::nullopt}, {10000, 1, 1, std::nullopt},
      {-1, 1, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(te::days_since_epoch(c.year, c.month, c.day), c.days) << c.year << "-" << c.month;
  }
  Bytes out;
  te::write_digits(out, 7, 4);
  te::write_digits(out, 12345, 4);
  te::write_digits(out, 0, 0);
  EXPECT_EQ(S(out), "0007123450");
}

TEST(Iso8601, ParsesAndWritesBackTheTextsTheCodecKeeps) {
  const struct {
    std::string text;
    std::int64_t micros;
    ZoneKind zone;
    std::int16_t offset;
    std::uint8_t digits;
    bool writes_back;
  } cases[] = {
      {"\"2024-03-10T12:34:56.5+01:00\"", 1710070496500000, ZoneKind::Offset, 60, 1, true},
      {"\"1969-12-31T23:59:59Z\"", -1000000, ZoneKind::Utc, 0, 0, true},
      {"\"0000-01-01T00:00:00Z\"", -62167219200000000, ZoneKind::Utc, 0, 0, true},
      {"\"9999-12-31T23:59:59.999999-12:45\"", 253402346699999999, ZoneKind::Offset, -765, 6, true},
      {"\"2024-01-01T00:00:00\"", 1704067200000000, ZoneKind::None, 0, 0, true},
      {"\"2024-01-01T00:00:00.000\"", 1704067200000000, ZoneKind::None, 0, 3, true},
      {"\"2024-01-01T00:00:00.0000000Z\"", 1704067200000000, ZoneKind::Utc, 0, 7, true},
      // Parsed, but written otherwise: the codec declines such columns.
      {"\"2024-02-30T00:00:00Z\"", 1709251200000000, ZoneKind::Utc, 0, 0, false},
      {"\"2024-01-01T24:00:00Z\"", 1704153600000000, ZoneKind::Utc, 0, 0, false},
      {"\"2024-01-01T00:00:00.1234567Z\"", 1704067200123456, ZoneKind::Utc, 0, 7, false},
      {"\"2024-01-01T00:00:00-00:00\"", 1704067200000000, ZoneKind::Offset, 0, 0, false},
      {"\"9999-12-31T23:59:59-01:00\"", 253402304399000000, ZoneKind::Offset, -60, 0, true},
      {"\"9999-12-31T24:00:00Z\"", 253402300800000000, ZoneKind::Utc, 0, 0, false},
  };
  for (const auto& c : cases) {
    const auto parsed = te::parse_iso8601_to_micros(span_of(c.text));
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(parsed->micros, c.micros) << c.text;
    EXPECT_EQ(parsed->zone, c.zone) << c.text;
    EXPECT_EQ(parsed->offset_minutes, c.offset) << c.text;
    EXPECT_EQ(parsed->fraction_digits, c.digits) << c.text;
    EXPECT_EQ(written(parsed->micros, c.zone, c.offset, c.digits) == c.text, c.writes_back) << c.text;
  }
  // 256 fraction digits count as none.
  const std::string long_fraction = "\"2024-01-01T00:00:00." + std::string(256, '1') + "\"";
  EXPECT_EQ(te::parse_iso8601_to_micros(span_of(long_fraction))->fraction_digits, 0);
  for (const char* bad : {"\"2024-00-01T00:00:00Z\"", "\"2024-01-32T00:00:00Z\"", "\"2024-01-01T00:00:00+1:00\"",
                          "\"2024-01-01T00:00:00\"x", "2024-01-01T00:00:00Z"}) {
    EXPECT_FALSE(te::parse_iso8601_to_micros(span_of(bad))) << bad;
  }
}

TEST(Iso8601, WritesOnlyTheYears0000To9999) {
  constexpr std::int64_t kYear10000 = 253402300800000000;
  EXPECT_EQ(written(kYear10000 - 1, ZoneKind::Utc, 0, 6), "\"9999-12-31T23:59:59.999999Z\"");
  EXPECT_EQ(written(kYear10000, ZoneKind::Utc, 0, 0), "(none)");
  EXPECT_EQ(written(kYear10000 - 1, ZoneKind::Offset, 1, 0), "(none)");
  EXPECT_EQ(written(-62167219200000000 - 1, ZoneKind::Utc, 0, 0), "(none)");
  EXPECT_EQ(written(INT64_MIN, ZoneKind::Offset, -32768, 0), "(none)");
  EXPECT_EQ(written(INT64_MAX, ZoneKind::Offset, 32767, 0), "(none)");
  // The widest offsets: no magnitude of -32768 is taken in 16 bits.
  EXPECT_EQ(written(0, ZoneKind::Offset, -32768, 0), "\"1969-12-09T05:52:00-546:08\"");
  EXPECT_EQ(written(0, ZoneKind::None, 90, 2), "\"1970-01-01T01:30:00.00\"");
}

TEST(TimestampColumn, EncodesDeltaOfDeltaAndDeclinesWhatItCannotRestore) {
  const std::vector<std::string> utc = {"\"2024-01-01T00:00:00Z\"", "\"2024-01-01T00:00:01Z\"",
                                        "\"2024-01-01T00:00:02Z\""};
  Bytes body;
  ASSERT_TRUE(te::encode_timestamp_column(spans_of(utc), body));
  Bytes expected = {0x00, 0x20, 0x21, 0x10, 0xd7, 0x0d, 0x06, 0x00, 0, 0, 0, 0};
  expected << u32(3) << Bytes{1, 0x00, 0x80, 0x89, 0x7a, 0x00};
  EXPECT_EQ(body, expected);
  EXPECT_EQ(decoded(te::decode_timestamp_column, body), utc);

  const std::vector<std::vector<std::string>> declined = {
      {"\"2024-01-01T00:00:00Z\"", "\"2024-01-01T00:00:00+00:00\""},
      {"\"2024-01-01T00:00:00.5Z\"", "\"2024-01-01T00:00:00.50Z\""},
      {"\"2024-01-01T00:00:00+01:00\"", "\"2024-01-01T00:00:00+02:00\""},
      {"\"2024-01-01T00:00:00Z\"", "\"2024-02-30T00:00:00Z\""},
      {"\"2024-01-01T00:00:00Z\"", "null"},
  };
  for (const auto& values : declined) {
    Bytes out = {0xAA};
    EXPECT_FALSE(te::encode_timestamp_column(spans_of(values), out)) << values[1];
    EXPECT_EQ(out, (Bytes{0xAA}));
  }
}

// A body written by hand: base, zone byte, offset, digits, count, then `rest`.
Bytes timestamp_body(std::int64_t base, std::uint8_t zone, std::int16_t offset, std::uint32_t count,
                     const Bytes& rest) {
  Bytes body = u64(static_cast<std::uint64_t>(base));
  body << Bytes{zone} << u16(static_cast<std::uint16_t>(offset)) << Bytes{0} << u32(count) << rest;
  return body;
}

TEST(TimestampColumn, DecodesAnyStoredValueWithoutFailing) {
  constexpr std::int64_t kDay = 86'400'000'000;
  constexpr std::int64_t kLast = 253402300800000000 - 1'000'000;  // 9999-12-31T23:59:59Z
  const std::string epoch = "\"1970-01-01T00:00:00Z\"", next_day = "\"1970-01-02T00:00:00Z\"";
  const std::string last = "\"9999-12-31T23:59:59Z\"";
  const Bytes day = {0x80, 0x80, 0xBB, 0xDD, 0x83, 0x05};        // zigzag varint of +1 day
  const Bytes plus_second = {0x80, 0x89, 0x7A}, minus_two_seconds = {0xFF, 0x91, 0xF4, 0x01};
  const Bytes plus_two_seconds = {0x80, 0x92, 0xF4, 0x01}, minus_three_seconds = {0xFF, 0x9A, 0xEE, 0x02};
  const Bytes out_of_range = timestamp_body(kLast + 1'000'000, 0, 0, 1, {1, 0});
  const Bytes overflowing = timestamp_body(INT64_MAX, 1, 32767, 1, {1, 0});
  const struct {
    Bytes body;
    std::vector<std::string> values;
  } cases[] = {
      {Bytes(15, 0x01), std::vector<std::string>(16)},                   // short: Raw
      {timestamp_body(0, 0, 0, 3, {}), {}},                              // 16 bytes: no varint
      {timestamp_body(0, 0, 0, 2, {1, 0x80, 0x80}), {epoch, epoch}},     // cut varint
      {timestamp_body(0, 0, 0, 3, Bytes{1, 0x00} << day << Bytes{0x00}),
       {epoch, next_day, "\"1970-01-03T00:00:00Z\""}},
      {timestamp_body(0, 0, 0, 2, Bytes(day) << Bytes{0x00}), {next_day, next_day}},  // plain deltas from byte 16
      {timestamp_body(0, 7, 0, 1, {1, 0}), {"\"1970-01-01T00:00:00\""}},    // zone byte above 2
      // A time beyond 9999 repeats the last one written, and decoding goes on.
      {timestamp_body(kLast, 0, 0, 2, Bytes(plus_second) << minus_two_seconds), {last, "\"9999-12-31T23:59:58Z\""}},
      {timestamp_body(kLast - kDay, 0, 0, 3, Bytes{1, 0x00} << day << Bytes{0x01}),
       {"\"9999-12-30T23:59:59Z\"", last, last}},
      // Delta-of-delta: the delta of +2 s still counts past the year 9999, so
      // -3 s more makes a delta of -1 s and lands on the last second.
      {timestamp_body(kLast - 1'000'000, 0, 0, 3, Bytes{1, 0x00} << plus_two_seconds << minus_three_seconds),
       {"\"9999-12-31T23:59:58Z\"", "\"9999-12-31T23:59:58Z\"", last}},
      // No base time to fall back on: the body reads as Raw.
      {out_of_range, raw_values(out_of_range)},
      {overflowing, raw_values(overflowing)},
  };
  for (const auto& c : cases) EXPECT_EQ(decoded(te::decode_timestamp_column, c.body), c.values);
}

}  // namespace
