// The typed column stream: the stream and its encoding choices, the bytes of
// each codec, the decode-only codecs, and the reverse on cut, forged and
// oversized streams.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/typed_encoding/column_codecs.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "format/varint.hpp"
#include "typed_test_support.hpp"

namespace {

using namespace typed_test;
using te::ColumnEncoding;

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};
constexpr auto kRaw = static_cast<std::uint8_t>(ColumnEncoding::Raw);
constexpr auto kInteger = static_cast<std::uint8_t>(ColumnEncoding::Integer);
constexpr auto kBoolean = static_cast<std::uint8_t>(ColumnEncoding::Boolean);
constexpr auto kNullable = static_cast<std::uint8_t>(ColumnEncoding::Nullable);
constexpr auto kTimestamp = static_cast<std::uint8_t>(ColumnEncoding::Timestamp);
constexpr auto kEnum = static_cast<std::uint8_t>(ColumnEncoding::Enum);
constexpr auto kString = static_cast<std::uint8_t>(ColumnEncoding::String);
constexpr auto kUuid = static_cast<std::uint8_t>(ColumnEncoding::Uuid);
constexpr auto kFsst = static_cast<std::uint8_t>(ColumnEncoding::FsstString);
constexpr auto kHexPrefix = static_cast<std::uint8_t>(ColumnEncoding::HexPrefix);

std::vector<std::string> cycle(const std::vector<std::string>& values, std::size_t rows) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < rows; ++i) out.push_back(values[i % values.size()]);
  return out;
}

TEST(TypedStream, WritesHeaderSchemaAndRecords) {
  // Sixteen booleans: 1 + 15 x 5 bytes of text or so, 21 bytes of stream.
  const Bytes text = columnar({cycle({"true", "false", "false"}, 16)});
  const auto stream = te::preprocess(text);
  ASSERT_TRUE(stream);
  Bytes expected = u16(1);
  expected << u32(4) << Bytes{1, 0, 3, 0}              // schema: one Boolean column
           << Bytes{kBoolean} << u32(6) << u32(16) << Bytes{0x49, 0x92};
  EXPECT_EQ(*stream, expected);
  EXPECT_EQ(te::reverse(*stream, kNoLimit), text);
}

TEST(TypedStream, DeclinesWhatItCannotShorten) {
  // One Integer column holding 42: the body is the one byte 0x54, but the
  // stream (2 + 4 + 20 + 5 + 1 bytes) is longer than the text.
  Bytes body;
  ASSERT_TRUE(te::encode_integer_column(spans_of({"42"}), body));
  EXPECT_EQ(body, (Bytes{0x54}));
  EXPECT_FALSE(te::preprocess(B("42")));
  EXPECT_FALSE(te::preprocess(Bytes{}));
  // 65,536 empty columns cannot be counted in 16 bits.
  EXPECT_FALSE(te::preprocess(Bytes(65535, 0x00)));
}

TEST(TypedStream, ChoosesEachColumnsEncodingAndRestoresIt) {
  const std::string ts1 = "\"2024-01-01T00:00:00Z\"", ts2 = "\"2024-01-01T00:00:01Z\"";
  const std::string uuid = "\"123e4567-e89b-12d3-a456-426614174000\"";
  const std::string upper_uuid = "\"123E4567-E89B-12D3-A456-426614174000\"";
  const struct {
    std::vector<std::string> values;
    std::uint8_t tag;
    std::uint8_t inner;
  } cases[] = {
      {{"1", "-2", "300"}, kInteger, 0},
      {{"1", "null", "300"}, kNullable, kInteger},
      {{"true", "false"}, kBoolean, 0},
      {{"true", "null"}, kNullable, kBoolean},
      {{ts1, ts2}, kTimestamp, 0},
      {{ts1, "null", ts2}, kNullable, kTimestamp},
      // Timestamps that do not write back alike: Raw, or String inside Nullable.
      {{ts1, "\"2024-01-01T00:00:01+00:00\""}, kRaw, 0},
      {{ts1, "null", "\"2024-02-30T00:00:01Z\""}, kNullable, kString},
      {{uuid}, kUuid, 0},
      {{upper_uuid}, kRaw, 0},
      {{upper_uuid, "null"}, kNullable, kString},
      {{"\"GET\"", "\"POST\"", "PUT"}, kEnum, 0},
      {{"\"GET\"", "null", "PUT"}, kNullable, kEnum},
      {{"1.5", "2"}, kRaw, 0},
      {{"946684800", "946684801"}, kRaw, 0},
      {{"null"}, kRaw, 0},
  };
  for (const auto& c : cases) {
    const Bytes text = columnar({cycle(c.values, 64), cycle({"7"}, 64)});
    const auto stream = te::preprocess(text);
    ASSERT_TRUE(stream) << c.values[0];
    EXPECT_EQ(tags_of(*stream)[0], std::make_pair(c.tag, c.inner)) << c.values[0];
    EXPECT_EQ(te::reverse(*stream, kNoLimit), text) << c.values[0];
  }
}

TEST(TypedStream, StringsAreStoredWithoutQuotesOnlyWhenAllAreQuoted) {
  // 600 values, more than 255 distinct, make the columns String by type.
  std::vector<std::string> quoted, mixed, nullable_mixed;
  for (int i = 0; i < 600; ++i) {
    quoted.push_back(std::string("\"v").append(std::to_string(i)).append("\""));
    mixed.push_back(i == 7 ? "17" : quoted.back());
    nullable_mixed.push_back(i == 7 ? "w7" : i % 2 ? "null" : quoted.back());
  }
  const struct {
    std::vector<std::string> values;
    std::uint8_t tag, inner;
  } cases[] = {
      {quoted, kString, 0},
      {mixed, kRaw, 0},
      {nullable_mixed, kRaw, 0},
  };
  for (const auto& c : cases) {
    const Bytes text = columnar({c.values, cycle({"true"}, c.values.size())});
    const auto stream = te::preprocess(text);
    ASSERT_TRUE(stream);
    EXPECT_EQ(tags_of(*stream)[0], std::make_pair(c.tag, c.inner));
    EXPECT_EQ(te::reverse(*stream, kNoLimit), text);
  }
  // The Nullable path falls back to String only over quoted values too.
  std::vector<std::string> many_unquoted;
  for (int i = 0; i < 600; ++i) many_unquoted.push_back(i % 3 ? std::string("w").append(std::to_string(i)) : "null");
  for (const auto inner : {ColumnEncoding::Enum, ColumnEncoding::String}) {
    Bytes out = {0xAA};
    EXPECT_FALSE(te::encode_nullable_column(spans_of(many_unquoted), inner, out));
    EXPECT_EQ(out, (Bytes{0xAA}));
  }
}

TEST(ColumnBodies, HoldTheirValuesExactly) {
  const std::string ts = "\"2024-01-01T00:00:00Z\"";
  Bytes string_body = u32(2);
  string_body << u32(1) << B("x") << u32(static_cast<std::uint32_t>(ts.size() - 2))
              << B(ts.substr(1, ts.size() - 2));
  const struct {
    std::vector<std::string> values;
    std::uint8_t tag;  // the encoder: a plain tag, or the inner tag of Nullable
    bool nullable;
    Bytes body;
  } cases[] = {
      {{"5", "3", "10"}, kInteger, false, {0x0A, 0x03, 0x0E}},
      {{"9223372036854775807", "-9223372036854775808"},
       kInteger,
       false,
       {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x02}},  // the difference wraps to 1
      {{"a", "b", "a"}, kEnum, false, Bytes{2} << u32(1) << B("a") << u32(1) << B("b") << u32(3) << Bytes{0, 1, 0}},
      // Equal counts keep their order of first appearance.
      {{"c", "b", "b", "a", "c"}, kEnum, false,
       Bytes{3} << u32(1) << B("c") << u32(1) << B("b") << u32(1) << B("a") << u32(5) << Bytes{0, 1, 1, 2, 0}},
      {{"\"x\"", "y"}, kString, false, u32(2) << u32(1) << B("x") << u32(1) << B("y")},
      {{"\"123e4567-e89b-12d3-a456-426614174000\""}, kUuid, false,
       u32(1) << Bytes{0x12, 0x3e, 0x45, 0x67, 0xe8, 0x9b, 0x12, 0xd3, 0xa4, 0x56, 0x42, 0x66, 0x14, 0x17, 0x40, 0x00}},
      {{"true", "false", "true"}, kBoolean, false, u32(3) << Bytes{0x05}},
      {{"\"x\"", ts, "null"}, kString, true, Bytes{kString} << u32(3) << u32(1) << Bytes{0x03} << string_body},
  };
  for (const auto& c : cases) {
    const auto values = spans_of(c.values);
    Bytes body;
    if (c.nullable) {
      ASSERT_EQ(te::encode_nullable_column(values, static_cast<ColumnEncoding>(c.tag), body),
                static_cast<ColumnEncoding>(c.tag));
    } else if (c.tag == kInteger) {
      ASSERT_TRUE(te::encode_integer_column(values, body));
    } else if (c.tag == kEnum) {
      ASSERT_TRUE(te::encode_enum_column(values, body));
    } else if (c.tag == kString) {
      te::encode_string_column(values, body);
    } else if (c.tag == kUuid) {
      ASSERT_TRUE(te::encode_uuid_column(values, body));
    } else {
      te::encode_boolean_column(values, body);
    }
    EXPECT_EQ(body, c.body) << c.values[0];
    // String drops the quotes: what comes back is quoted.
    std::vector<std::string> expected = c.values;
    if (c.tag == kString && !c.nullable) expected[1] = "\"y\"";
    EXPECT_EQ(decoded_as(c.nullable ? kNullable : c.tag, body), expected) << c.values[0];
  }
}

TEST(ColumnBodies, DecodeCutAndDamagedBodiesToFewerValues) {
  const struct {
    std::uint8_t tag;
    Bytes body;
    std::vector<std::string> values;
  } cases[] = {
      {kRaw, {}, {""}},
      {kRaw, B("a\x01\x01" "b"), {"a", "", "b"}},
      {12, B("a\x01" "b"), {"a", "b"}},
      {kInteger, {}, {}},
      {kInteger, {0x0A, 0x80}, {"5"}},
      {kInteger, {0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, {"5", "-9223372036854775803"}},
      {kBoolean, {3, 0, 0}, {}},
      {kBoolean, u32(20) << Bytes{0x01}, {"true", "false", "false", "false", "false", "false", "false", "false"}},
      {kString, {1, 0, 0}, {"", std::string(2, '\0')}},
      {kString, u32(3) << u32(1) << B("a") << u32(9) << B("b"), {"\"a\""}},
      {kUuid, B("a\x01" "b"), {"a", "b"}},
      {kUuid, u32(2) << Bytes(16, 0xAB) << Bytes(15, 0), {"\"abababab-abab-abab-abab-abababababab\""}},
      {kEnum, {}, {}},
      {kEnum, Bytes{2} << u32(1) << B("a") << u32(1), {}},  // cut dictionary
      {kEnum, Bytes{1} << u32(1) << B("a") << u32(5) << Bytes{0, 1, 0}, {"a", "", "a"}},
      // Nullable: the inner values fill the set bits; missing integers are 0,
      // other missing values and unknown inner tags `null`.
      {kNullable, Bytes{kInteger} << u32(4) << u32(1) << Bytes{0x07, 0x0A, 0x00}, {"5", "5", "0", "null"}},
      {kNullable, Bytes{kEnum} << u32(3) << u32(1) << Bytes{0x07} << Bytes{1} << u32(1) << B("a") << u32(1) << Bytes{0},
       {"a", "null", "null"}},
      {kNullable, Bytes{0} << u32(3) << u32(1) << Bytes{0x07}, {"null", "null", "null"}},
      {kNullable, Bytes{kNullable} << u32(2) << u32(1) << Bytes{0x03}, {"null", "null"}},
      {kNullable, Bytes{kInteger} << u32(40) << u32(1) << Bytes{0x00}, std::vector<std::string>(8, "null")},
      {kNullable, Bytes{kInteger} << u32(1) << u32(0xFFFFFFFF) << Bytes{0x01}, {}},
      {kNullable, Bytes{kInteger} << u32(1), {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(decoded_as(c.tag, c.body), c.values) << int{c.tag} << " / " << c.body.size();
  }
}

TEST(ColumnBodies, Leb128ReadsAtMostTenBytes) {
  const struct {
    Bytes bytes;
    std::optional<std::uint64_t> value;
  } cases[] = {
      {{0x80}, std::nullopt},
      {{}, std::nullopt},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, UINT64_MAX},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02}, 0},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, std::nullopt},
      {{0xE5, 0x8E, 0x26}, 624485},
  };
  for (const auto& c : cases) {
    std::size_t pos = 0;
    std::uint64_t value = 0;
    const bool read = kelvane::format::read_leb128(c.bytes, pos, value);
    EXPECT_EQ(read ? std::optional(value) : std::nullopt, c.value);
  }
}

// An FSST body: symbols and lengths, then each value's codes.
Bytes fsst_body(const std::vector<std::string>& symbols, const Bytes& lengths,
                const std::vector<Bytes>& values) {
  Bytes body = u16(static_cast<std::uint16_t>(symbols.size()));
  for (const auto& s : symbols) {
    Bytes padded = B(s);
    padded.resize(8, 0);
    body << padded;
  }
  body << lengths << u32(static_cast<std::uint32_t>(values.size()));
  for (const Bytes& codes : values) body << u32(static_cast<std::uint32_t>(codes.size())) << codes;
  return body;
}

Bytes hex_body(const std::string& prefix, std::uint8_t digits, std::uint32_t count, const Bytes& bytes) {
  Bytes body = u16(static_cast<std::uint16_t>(prefix.size()));
  body << B(prefix) << Bytes{digits} << u32(count) << bytes;
  return body;
}

TEST(DecodeOnlyColumns, FsstAndHexPrefixBodies) {
  const Bytes abc = fsst_body({"ab", "xyz", "q"}, {2, 3, 1}, {{0, 1, 2, 255, 0x21}, {}, {2, 2}});
  Bytes long_codes(511, 0);
  long_codes << Bytes{255, 'Z'} << Bytes(600, 1);
  std::string long_value;
  for (int i = 0; i < 511; ++i) long_value += "ab";
  long_value += "Z" + std::string(600, 'q');
  const struct {
    std::uint8_t tag;
    Bytes body;
    std::vector<std::string> values;
  } cases[] = {
      {kFsst, {0x41}, {"A"}},
      {kFsst, fsst_body({}, {}, {{255, 0x41}}), {"\"A\""}},
      {kFsst, abc, {"\"abxyzq!\"", "\"\"", "\"qq\""}},
      // Codes no encoder writes, and tables none loads: the body as Raw.
      {kFsst, fsst_body({}, {}, {{0x00}}), raw_values(fsst_body({}, {}, {{0x00}}))},
      {kFsst, fsst_body({"a"}, {1}, {{0, 255}}), raw_values(fsst_body({"a"}, {1}, {{0, 255}}))},
      {kFsst, fsst_body({"abc", "ab"}, {3, 2}, {{0}}), raw_values(fsst_body({"abc", "ab"}, {3, 2}, {{0}}))},
      {kFsst, fsst_body({"a", "ab"}, {1, 2}, {{0}}), raw_values(fsst_body({"a", "ab"}, {1, 2}, {{0}}))},
      {kFsst, fsst_body({"a"}, {0}, {{0}}), raw_values(fsst_body({"a"}, {0}, {{0}}))},
      {kFsst, fsst_body({"a"}, {9}, {{0}}), raw_values(fsst_body({"a"}, {9}, {{0}}))},
      // A value cut short ends the list.
      {kFsst, Bytes(abc.begin(), abc.end() - 1), {"\"abxyzq!\"", "\"\""}},
      // Longer than the decoder's 512-code pieces, an escape across the first boundary.
      {kFsst, fsst_body({"ab", "q"}, {2, 1}, {long_codes}), {"\"" + long_value + "\""}},
      {kHexPrefix, hex_body("\"id-", 3, 2, {0xAB, 0xC0, 0x12, 0x30}), {"\"id-abc\"", "\"id-123\""}},
      {kHexPrefix, hex_body("\"", 4, 3, {0xDE, 0xAD, 0xBE, 0xEF}), {"\"dead\"", "\"beef\""}},
      {kHexPrefix, Bytes{1, 0, 'x', 1, 1, 0}, raw_values(Bytes{1, 0, 'x', 1, 1, 0})},
      // Zero digits per value: Raw, never a count of empty values.
      {kHexPrefix, hex_body("\"", 0, 1000, {}), raw_values(hex_body("\"", 0, 1000, {}))},
      {kNullable, Bytes{kHexPrefix} << u32(3) << u32(1) << Bytes{0x05} << hex_body("\"", 2, 2, {0x0F, 0xF0}),
       {"\"0f\"", "null", "\"f0\""}},
      {kNullable, Bytes{kFsst} << u32(2) << u32(1) << Bytes{0x02} << abc, {"null", "\"abxyzq!\""}},
  };
  for (const auto& c : cases) EXPECT_EQ(decoded_as(c.tag, c.body), c.values) << int{c.tag};
  // n = 256 symbols: Raw.
  const Bytes wide = fsst_body(std::vector<std::string>(256, "a"), Bytes(256, 1), {{0}});
  EXPECT_EQ(decoded_as(kFsst, wide), raw_values(wide));
}

TEST(TypedReverse, GivesBackStreamsItCannotUse) {
  const Bytes good = stream_of({{kRaw, B("a\x01" "b")}, {kInteger, {0x02, 0x02}}});
  EXPECT_EQ(te::reverse(good, kNoLimit), B(std::string("a\x01" "b\0" "1\x01" "2", 7)));
  Bytes six = u16(0) << u32(1);
  Bytes wrong_count = good;
  wrong_count[0] = 3;
  Bytes huge_schema = good;
  huge_schema[2] = huge_schema[3] = huge_schema[4] = huge_schema[5] = 0xFF;
  Bytes huge_body = stream_of({{kRaw, B("a")}});
  std::fill(huge_body.end() - 5, huge_body.end() - 1, 0xFF);
  for (const Bytes& stream : {Bytes{}, Bytes{1, 0, 0, 0, 0}, six, wrong_count, huge_schema, huge_body,
                              Bytes(good.begin(), good.end() - 1)}) {
    EXPECT_EQ(te::reverse(stream, kNoLimit), stream);
  }
  // No columns: empty text. A column with no values adds no bytes.
  EXPECT_EQ(te::reverse(u16(0) << u32(2) << u16(0), kNoLimit), Bytes{});
  EXPECT_EQ(te::reverse(stream_of({{kBoolean, {}}, {kRaw, B("x")}}), kNoLimit), B(std::string("\0x", 2)));
}

TEST(TypedReverse, NullableValuesPastTheSetBitsCountAgainstTheBudget) {
  // One set bit over 2000 values of 1000 bytes: the text is one value, but
  // the values dropped after it still have to fit in the budget.
  const Bytes stream =
      stream_of({{kNullable, Bytes{kEnum} << u32(1) << u32(1) << Bytes{0x01}
                                          << (Bytes{1} << u32(1000) << Bytes(1000, 'e') << u32(2000) << Bytes(2000, 0))}});
  const Bytes text(1000, 'e');
  EXPECT_EQ(te::reverse(stream, 2'000'000), text);
  EXPECT_EQ(te::reverse(stream, 1'999'999), stream);
  EXPECT_EQ(te::reverse(stream, text.size()), stream);
}

TEST(TypedReverse, StopsAtItsBudget) {
  // An Enum of one 1000-byte entry repeated 2000 times writes 2 MB from 3 KB;
  // a hex prefix of 60,000 bytes is written once per body byte.
  const Bytes enum_bomb = stream_of({{kEnum, Bytes{1} << u32(1000) << Bytes(1000, 'e') << u32(2000) << Bytes(2000, 0)}});
  const Bytes hex_bomb = stream_of({{kHexPrefix, hex_body(std::string(60000, 'p'), 1, 2000, Bytes(2000, 0x10))}});
  const Bytes nullable_bomb =
      stream_of({{kNullable, Bytes{kEnum} << u32(2000) << u32(250) << Bytes(250, 0xFF)
                                          << (Bytes{1} << u32(1000) << Bytes(1000, 'e') << u32(2000) << Bytes(2000, 0))}});
  for (const Bytes& stream : {enum_bomb, hex_bomb, nullable_bomb}) {
    const Bytes full = te::reverse(stream, kNoLimit);
    ASSERT_GT(full.size(), 1'000'000u);
    EXPECT_EQ(te::reverse(stream, full.size()), full);
    EXPECT_EQ(te::reverse(stream, full.size() - 1), stream);
    EXPECT_EQ(te::reverse(stream, 100'000), stream);
  }
}

}  // namespace
