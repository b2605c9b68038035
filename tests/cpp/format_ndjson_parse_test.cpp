// Cutting NDJSON lines into skeleton pieces and raw values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/ndjson/ndjson.hpp"

namespace ndjson = kelvane::format::ndjson;
using kelvane::kvn::ByteSpan;

namespace {

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
std::string str(ByteSpan s) { return std::string(s.begin(), s.end()); }

TEST(NdjsonExtractValue, FindsTheExtentOfEachKindOfValue) {
  struct Case {
    std::string text;
    std::size_t pos;
    std::string value;  // empty: nothing
    std::size_t next;
  } cases[] = {
      {R"("a\"b" x)", 0, R"("a\"b")", 6},
      {R"("a\\" x)", 0, R"("a\\")", 5},
      {R"(["]",1] z)", 0, R"(["]",1])", 7},
      {R"([{"a":[1]},{}],)", 0, R"([{"a":[1]},{}])", 14},
      {R"([ { ] })", 0, R"([ { ])", 5},  // only brackets count inside an array
      {R"({"s":"}","t":{}})", 0, R"({"s":"}","t":{}})", 16},
      {"-1.5e+10,", 0, "-1.5e+10", 8},
      {"truex}", 0, "truex", 5},
      {"a\"b]", 0, "a\"b", 3},  // a scalar may hold a quote
      {" \t\r\n 7", 0, "7", 6},
      {"\x0b", 0, "\x0b", 1},  // VT is not blank
      {"xx 12", 2, "12", 5},
      {"", 0, "", 0},
      {"  \t", 0, "", 0},
      {",1", 0, "", 0},
      {"}", 0, "", 0},
      {"]", 0, "", 0},
      {R"("open)", 0, "", 0},
      {R"("ends in backslash\)", 0, "", 0},
      {R"([1,[2])", 0, "", 0},
      {R"([1,"]])", 0, "", 0},
      {R"({"a":{})", 0, "", 0},
  };
  for (const auto& c : cases) {
    const auto got = ndjson::extract_value(span_of(c.text), c.pos);
    if (c.value.empty()) {
      EXPECT_FALSE(got.has_value()) << c.text;
      continue;
    }
    ASSERT_TRUE(got.has_value()) << c.text;
    EXPECT_EQ(str(got->value), c.value) << c.text;
    EXPECT_EQ(got->next, c.next) << c.text;
  }
}

TEST(NdjsonExtractValue, DeepNestingIsScannedWithoutRecursion) {
  const std::size_t depth = 1 << 20;
  const std::string deep = std::string(depth, '[') + std::string(depth, ']');
  const auto got = ndjson::extract_value(span_of(deep), 0);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->next, deep.size());
  EXPECT_FALSE(ndjson::extract_value(span_of(std::string(depth, '{')), 0).has_value());
}

TEST(NdjsonParseLine, CutsLinesIntoPiecesAndValues) {
  struct Case {
    std::string line;
    std::vector<std::string> pieces;  // empty: not parsable
    std::vector<std::string> values;
  } cases[] = {
      {R"({"a":1,"b":"x"})", {R"({"a":)", R"(,"b":)", "}"}, {"1", R"("x")"}},
      {R"({"a":1,})", {R"({"a":)", ",}"}, {"1"}},
      {R"({"a" : 1 } x)", {R"({"a" : )", " } x"}, {"1"}},
      {"  {\"a\":\t[1, {\"b\":\"]\"}] }\r", {"  {\"a\":\t", " }\r"}, {R"([1, {"b":"]"}])"}},
      {R"({"k\"ey":"v","k":"v"})", {R"({"k\"ey":)", R"(,"k":)", "}"}, {R"("v")", R"("v")"}},
      {"{}", {}, {}},
      {"{ }", {}, {}},
      {"{a:1}", {}, {}},
      {"{", {}, {}},
      {"  ", {}, {}},
      {"[1,2]", {}, {}},
      {R"({"a":1,)", {}, {}},
      {R"({"a":1)", {}, {}},
      {R"({"a":1 "b":2})", {}, {}},
      {R"({"a" 1})", {}, {}},
      {R"({"a":,"b":1})", {}, {}},
      {R"({"a":})", {}, {}},
      {R"({"a)", {}, {}},
      {std::string("{\"a\":\"x\x01y\"}"), {}, {}},  // a separator byte inside a value
      {std::string("{\"a\":\"x\0y\"}", 11), {}, {}},
  };
  for (const auto& c : cases) {
    const auto got = ndjson::parse_line(span_of(c.line));
    if (c.pieces.empty()) {
      EXPECT_FALSE(got.has_value()) << c.line;
      continue;
    }
    ASSERT_TRUE(got.has_value()) << c.line;
    std::vector<std::string> pieces, values;
    for (auto p : got->pieces) pieces.push_back(str(p));
    for (auto v : got->values) values.push_back(str(v));
    EXPECT_EQ(pieces, c.pieces) << c.line;
    EXPECT_EQ(values, c.values) << c.line;
  }
}

TEST(NdjsonParseLine, LinesBeyondTheLayoutLimitsAreNotParsable) {
  // 65,534 values parse, 65,535 do not.
  const auto object_of = [](std::size_t values) {
    std::string line = "{";
    for (std::size_t i = 0; i < values; ++i) line += (i ? ",\"\":" : "\"\":") + std::string("1");
    return line + "}";
  };
  EXPECT_TRUE(ndjson::parse_line(span_of(object_of(65534))).has_value());
  EXPECT_FALSE(ndjson::parse_line(span_of(object_of(65535))).has_value());

  // A piece (here the first key) of 65,535 bytes parses, one of 65,536 does not.
  const auto long_key = [](std::size_t piece) {
    return "{\"" + std::string(piece - 4, 'k') + "\":1}";
  };
  EXPECT_TRUE(ndjson::parse_line(span_of(long_key(65535))).has_value());
  EXPECT_FALSE(ndjson::parse_line(span_of(long_key(65536))).has_value());
}

}  // namespace
