// Value classification, schema inference and the schema bytes.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "format/schema/schema.hpp"

namespace {

using namespace kelvane::format::schema;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

ByteSpan span_of(std::string_view s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

// One column of values joined by 0x01.
std::string column(const std::vector<std::string>& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "\x01" : "") + values[i];
  return out;
}

TEST(ClassifyValue, SortsEachValueByTheFirstRuleThatFits) {
  using V = ValueClass;
  const struct {
    std::string value;
    ValueClass expected;
  } cases[] = {
      {"", V::Text},
      {"null", V::Null},
      {"nul", V::Text},
      {"true", V::Boolean},
      {"false", V::Boolean},
      {"True", V::Text},
      // Integers, and the epoch ranges with their bounds.
      {"0", V::Integer},
      {"-5", V::Integer},
      {"946684799", V::Integer},
      {"946684800", V::EpochSeconds},
      {"4102444800", V::EpochSeconds},
      {"4102444801", V::Integer},
      {"946684800000", V::EpochMillis},
      {"4102444800000", V::EpochMillis},
      {"4102444800001", V::Integer},
      {"-946684800", V::Integer},
      {"9223372036854775807", V::Integer},
      {"-9223372036854775808", V::Integer},
      {"9223372036854775808", V::Text},
      {"-9223372036854775809", V::Text},
      {"123456789012345678901", V::Text},
      {"007", V::Text},
      {"-0", V::Text},
      {"+5", V::Text},
      // Floats: the hand-written grammar, nothing strtod alone accepts.
      {"1.0", V::Float},
      {"1E3", V::Float},
      {"-.5", V::Float},
      {"2.", V::Float},
      {"+1.5e-7", V::Float},
      {"1e", V::Text},
      {".", V::Text},
      {"-", V::Text},
      {"e5", V::Text},
      {"1.5 ", V::Text},
      {"NaN", V::Text},
      {"inf", V::Text},
      {"0x1p3", V::Text},
      {"1.5.2", V::Text},
      // ISO 8601 shapes: digits are not range-checked here.
      {"\"2024-01-01T00:00:00\"", V::IsoTimestamp},
      {"\"2024-01-01T00:00:00.5+01:30\"", V::IsoTimestamp},
      {"\"2024-13-45T99:00:00Z\"", V::IsoTimestamp},
      {"\"2024-01-01T00:00:00.\"", V::Text},
      {"\"2024-01-01T00:00:00.Z\"", V::Text},
      {"\"2024-01-01T00:00:00+1:30\"", V::Text},
      {"\"2024-01-01T00:00:00Zx\"", V::Text},
      {"\"2024-01-01 00:00:00Z\"", V::Text},
      {"2024-01-01T00:00:00Z", V::Text},
      // UUIDs, either case.
      {"\"123e4567-e89b-12d3-a456-426614174000\"", V::Uuid},
      {"\"123E4567-E89B-12D3-A456-426614174000\"", V::Uuid},
      {"\"123e4567e-89b-12d3-a456-426614174000\"", V::Text},
      {"\"123e4567-e89b-12d3-a456-42661417400g\"", V::Text},
      {"\"x\"", V::Text},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(classify_value(span_of(c.value)).value_class, c.expected) << c.value;
  }
  EXPECT_EQ(classify_value(span_of("-9223372036854775808")).integer, INT64_MIN);
  EXPECT_EQ(classify_value(span_of("946684800")).integer, 946684800);
}

ColumnSchema integer_schema(std::int64_t min, std::int64_t max, bool nullable = false) {
  ColumnSchema s{ColumnType::Integer, nullable};
  s.min = min;
  s.max = max;
  return s;
}
ColumnSchema of_type(ColumnType type, bool nullable = false) { return ColumnSchema{type, nullable}; }
ColumnSchema timestamp(TimestampFormat format) {
  ColumnSchema s{ColumnType::Timestamp};
  s.timestamp_format = format;
  return s;
}
ColumnSchema enum_of(std::uint16_t cardinality, bool nullable = false) {
  ColumnSchema s{ColumnType::Enum, nullable};
  s.cardinality = cardinality;
  return s;
}

TEST(InferSchema, GivesEachColumnTheTypeOfItsClasses) {
  const struct {
    std::vector<std::string> values;
    ColumnSchema expected;
  } cases[] = {
      {{"null", "null"}, of_type(ColumnType::Null)},
      {{"true", "null", "false"}, of_type(ColumnType::Boolean, true)},
      {{"3", "-7", "12"}, integer_schema(-7, 12)},
      {{"1", "2.5"}, of_type(ColumnType::Float)},
      {{"1", "true"}, of_type(ColumnType::String)},
      {{"\"2024-01-01T00:00:00Z\"", "null"}, {ColumnType::Timestamp, true}},
      {{"946684800", "4102444800"}, timestamp(TimestampFormat::EpochSeconds)},
      {{"946684800", "946684800000"}, timestamp(TimestampFormat::EpochMillis)},
      {{"5", "1000000000"}, integer_schema(5, 1000000000)},
      {{"5", "1000000000000", "-3"}, integer_schema(-3, 1000000000000)},
      {{"1.5", "1000000000"}, of_type(ColumnType::String)},
      {{"\"123e4567-e89b-12d3-a456-426614174000\""}, of_type(ColumnType::Uuid)},
      {{"\"a\"", "b", "\"a\""}, enum_of(2)},
      {{"\"x\"", "\"2024-01-01T00:00:00\"", "null"}, of_type(ColumnType::String, true)},
  };
  for (const auto& c : cases) {
    const std::string text = column(c.values);
    const auto schema = infer_schema(span_of(text));
    ASSERT_EQ(schema.size(), 1u) << text;
    EXPECT_EQ(schema[0], c.expected) << text;
  }
  EXPECT_TRUE(infer_schema(ByteSpan()).empty());
  // Empty columns count, each one empty value: two separators give three columns.
  EXPECT_EQ(infer_schema(span_of(std::string_view("1\0\0x", 4))),
            (std::vector<ColumnSchema>{integer_schema(1, 1), enum_of(1), enum_of(1)}));
}

TEST(InferSchema, EnumHoldsAtMost255DistinctValues) {
  for (const int distinct : {255, 256, 1000}) {
    std::vector<std::string> values;
    for (int i = 0; i < 2 * distinct; ++i) values.push_back("\"v" + std::to_string(i % distinct) + "\"");
    const std::string text = column(values);
    const auto schema = infer_schema(span_of(text));
    EXPECT_EQ(schema[0], distinct <= 255 ? enum_of(static_cast<std::uint16_t>(distinct))
                                         : of_type(ColumnType::String))
        << distinct;
  }
}

TEST(SchemaBytes, FollowTheCodeTableAndReadBackWhatIsComplete) {
  const std::vector<ColumnSchema> schema = {
      of_type(ColumnType::Null),
      integer_schema(-2, 258, true),
      of_type(ColumnType::Float),
      of_type(ColumnType::Boolean, true),
      timestamp(TimestampFormat::Iso8601),
      timestamp(TimestampFormat::EpochSeconds),
      timestamp(TimestampFormat::EpochMillis),
      of_type(ColumnType::Uuid),
      enum_of(300, true),
      of_type(ColumnType::String),
  };
  const Bytes expected = {
      10, 0,                                            // count
      0, 0,                                             // Null
      1, 1, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x01, 0, 0, 0, 0, 0, 0,
      2, 0, 3, 1, 4, 0, 5, 0, 6, 0, 7, 0,               // Float .. Uuid
      8, 1, 0x2C, 0x01,                                 // Enum 300
      9, 0};                                            // String
  EXPECT_EQ(serialize_schema(schema), expected);
  EXPECT_EQ(deserialize_schema(expected), schema);
  EXPECT_EQ(serialize_schema({}), (Bytes{0, 0}));

  const struct {
    Bytes bytes;
    std::vector<ColumnSchema> expected;
  } reads[] = {
      {{}, {}},
      {{3}, {}},
      // Count 3, two whole entries and half of an Integer entry.
      {{3, 0, 2, 0, 9, 0, 1, 0, 5}, {of_type(ColumnType::Float), of_type(ColumnType::String)}},
      {{1, 0, 8, 0, 7}, {}},                              // cut Enum payload
      {{1, 0, 200, 0xFF}, {of_type(ColumnType::String, true)}},  // code above 9, nullable bit 0
      {{1, 0, 0, 1}, {of_type(ColumnType::Null, true)}},
      {{1, 0, 2, 0, 0xAA}, {of_type(ColumnType::Float)}},  // trailing bytes ignored
  };
  for (const auto& r : reads) EXPECT_EQ(deserialize_schema(r.bytes), r.expected);
}

}  // namespace
