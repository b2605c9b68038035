// The JSON array transform: array detection, element parsing, object
// skipping, the Uniform layout and its reverse.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "format/json_array/json_array.hpp"

namespace {

using namespace kelvane::format::json_array;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string S(ByteSpan s) { return std::string(s.begin(), s.end()); }

constexpr std::uint64_t kNoBudgetLimit = ~std::uint64_t{0};

// n objects {"i":0}, {"i":1}, ... joined by `sep`.
std::string objects(int n, const std::string& sep = ",") {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += sep;
    out += "{\"i\":" + std::to_string(i) + "}";
  }
  return out;
}

// n objects of one shape, long enough for the Uniform layout to pay.
std::string records(int n, const std::string& sep = ",") {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += sep;
    out += "{\"name\":\"item" + std::to_string(i) + "\",\"count\":" + std::to_string(i * 7) + "}";
  }
  return out;
}

const char kItems[] =
    R"({"items": [{"id":1,"tag":"x1"}, {"id":2,"tag":"x2"}, {"id":3,"tag":"x3"}, {"id":4,"tag":"x4"}, {"id":5,"tag":"x5"}]})";

TEST(JsonArrayUniform, WorkedExampleGivesTheExactTextAndMetadata) {
  const Bytes input = B(kItems);
  ASSERT_EQ(input.size(), 116u);
  const auto layout = preprocess(input);
  ASSERT_TRUE(layout);
  Bytes text = {'1', 0x01, '2', 0x01, '3', 0x01, '4', 0x01, '5', 0x00};
  const Bytes strings = B("\"x1\"\x01\"x2\"\x01\"x3\"\x01\"x4\"\x01\"x5\"");
  text.insert(text.end(), strings.begin(), strings.end());
  EXPECT_EQ(layout->text, text);

  Bytes meta = {0x01, 0x05, 0x00, 0x00, 0x00, 0x02, 0x00, 0x0B, 0x00, 0x00, 0x00};
  for (const auto& part :
       {B(R"({"items": [)"), Bytes{0x02, 0x00, 0x00, 0x00}, B("]}"), Bytes{0x03, 0x00, 0x06, 0x00},
        B(R"({"id":)"), Bytes{0x07, 0x00}, B(R"(,"tag":)"), Bytes{0x01, 0x00}, B("}"),
        Bytes{0x01, 0x02, 0x00}, B(", ")}) {
    meta.insert(meta.end(), part.begin(), part.end());
  }
  EXPECT_EQ(meta.size(), 55u);
  EXPECT_EQ(layout->metadata, meta);
  EXPECT_EQ(reverse(layout->text, layout->metadata, input.size()), input);
}

TEST(JsonArrayDetection, ChoosesTheLongestArrayEarliestOnTies) {
  struct Case {
    const char* name;
    std::string doc;
    std::size_t elements;
    std::string first_element;
  };
  const std::string six_outer = "[{\"x\":[" + objects(6) + "]}," + objects(5) + "]";
  const std::vector<Case> cases = {
      {"two siblings of 6: the first", "{\"a\":[" + objects(6) + "],\"b\":[" + records(6) + "]}", 6,
       "{\"i\":0}"},
      {"a later array of 7 replaces", "{\"a\":[" + objects(6) + "],\"b\":[" + records(7) + "]}", 7,
       "{\"name\":\"item0\",\"count\":0}"},
      {"8 inside an element of 6 replaces", "[{\"x\":[" + records(8) + "]}," + objects(5) + "]", 8,
       "{\"name\":\"item0\",\"count\":0}"},
      {"6 inside an element of 6 does not", six_outer, 6, "{\"x\":[" + objects(6) + "]}"},
      {"arrays inside a rejected one are found", "[{\"x\":[" + objects(5) + "]},2]", 5,
       "{\"i\":0}"},
      {"blanks around elements", "[ \n" + objects(5, " ,\r\n ") + " \n]", 5, "{\"i\":0}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes doc = B(c.doc);
    const auto span = find_array(doc);
    ASSERT_TRUE(span);
    EXPECT_EQ(span->element_count, c.elements);
    ASSERT_EQ(span->elements.size(), c.elements);
    ASSERT_EQ(span->separators.size(), c.elements - 1);
    const ElementSpan e = span->elements[0];
    EXPECT_EQ(S(ByteSpan(doc).subspan(e.start, e.end - e.start)), c.first_element);
  }
}

TEST(JsonArrayDetection, FindsNoArrayWhereNoneQualifies) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"empty", ""},
      {"four elements", "[" + objects(4) + "]"},
      {"a number element", "[" + objects(3) + ",2," + objects(3) + "]"},
      {"a string element", "[" + objects(3) + ",\"s\"," + objects(3) + "]"},
      {"an array element", "[" + objects(3) + ",[1]," + objects(3) + "]"},
      {"a missing comma", "[" + objects(3) + " " + objects(3) + "]"},
      {"a comma before the bracket", "[" + objects(6) + ",]"},
      {"never closed", "[" + objects(6)},
      {"an array inside a string", "\"[" + objects(6) + "]\""},
      {"a string left open after a good array", "[" + objects(6) + "] \""},
  };
  for (const auto& [name, doc] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(find_array(B(doc)));
    EXPECT_FALSE(preprocess(B(doc)));
  }
}

TEST(JsonArraySkipObject, MeasuresObjectsByTheirOwnBrackets) {
  struct Case {
    const char* text;
    std::size_t pos;
    bool found;
    std::size_t end;
  };
  const std::vector<Case> cases = {
      {R"({"a":"}"}x)", 0, true, 9},
      {R"({"a":[1,"]",{"b":"]"}]}x)", 0, true, 23},
      {R"({"a":[}]})", 0, true, 9},      // a brace inside an array is an ordinary byte
      {R"({]})", 0, true, 3},            // a bracket inside an object is an ordinary byte
      {R"({"a":{"b":1})", 0, true, 12},  // left open: ends with the input
      {R"({"a":["b"})", 0, true, 10},
      {R"(x{"a":1})", 1, true, 8},
      {R"({"a":"x)", 0, false, 0},  // unclosed string
      {R"({"a":[{"b":"})", 0, false, 0},
      {R"({"a":"\"})", 0, false, 0},
      {R"(x{})", 0, false, 0},
      {R"({})", 2, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto r = skip_object(B(c.text), c.pos);
    EXPECT_EQ(r.found, c.found);
    if (c.found) {
      EXPECT_EQ(r.end, c.end);
    }
  }
}

TEST(JsonArrayParseElement, CutsSkeletonAndValues) {
  struct Case {
    std::string text;
    bool parses;
    std::vector<std::string> pieces;
    std::vector<std::string> values;
  };
  const std::vector<Case> cases = {
      {R"({"a":1})", true, {R"({"a":)", "}"}, {"1"}},
      {R"( {"a" : [1,{"b":"]"}] , "c":"x\"y"}  )",
       true,
       {R"( {"a" : )", R"( , "c":)", "}  "},
       {R"([1,{"b":"]"}])", R"("x\"y")"}},
      {R"({"a":{"b":[1,2]},"c":true})",
       true,
       {R"({"a":)", R"(,"c":)", "}"},
       {R"({"b":[1,2]})", "true"}},
      {R"({"a":1,})", true, {R"({"a":)", ",}"}, {"1"}},
      {R"({"a":-1.5e3})", true, {R"({"a":)", "}"}, {"-1.5e3"}},
      {"{}", false, {}, {}},
      {"", false, {}, {}},
      {R"({"a":1)", false, {}, {}},  // the value reaches the end
      {R"({"a":1 )", false, {}, {}},
      {R"({"a":[1,2})", false, {}, {}},  // the array runs to the end
      {R"({"a":{"b":[}})", false, {}, {}},
      {R"({"a":})", false, {}, {}},
      {R"({a:1})", false, {}, {}},
      {R"({"a":1 ;"b":2})", false, {}, {}},
      {std::string("{\"a\":\"\x01\"}"), false, {}, {}},
      {std::string("{\"a\":\"\0\"}", 8), false, {}, {}},
      {"{\"" + std::string(65536, 'k') + "\":1}", false, {}, {}},  // a piece beyond 65,535 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    const Bytes text = B(c.text);
    const auto parsed = parse_element(text);
    ASSERT_EQ(parsed.has_value(), c.parses);
    if (!c.parses) continue;
    ASSERT_EQ(parsed->pieces.size(), c.pieces.size());
    ASSERT_EQ(parsed->values.size(), c.values.size());
    for (std::size_t i = 0; i < c.pieces.size(); ++i) EXPECT_EQ(S(parsed->pieces[i]), c.pieces[i]);
    for (std::size_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(S(parsed->values[i]), c.values[i]);
  }
}

TEST(JsonArrayParseElement, AcceptsAtMost65534Values) {
  auto element = [](int values) {
    std::string s = "{";
    for (int i = 0; i < values; ++i) s += (i ? ",\"k\":" : "\"k\":") + std::string("1");
    return s + "}";
  };
  EXPECT_TRUE(parse_element(B(element(65534))));
  EXPECT_FALSE(parse_element(B(element(65535))));
}

// Documents the Uniform layout takes come back byte for byte, whatever
// surrounds the array.
TEST(JsonArrayUniform, RoundTripsWhatSurroundsTheArray) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"bare array", "[" + records(8) + "]"},
      {"pretty printed with CRLF", "[\r\n  " + records(8, ",\r\n  ") + "\r\n]\r\n"},
      {"inside an object with more after it",
       "{\"meta\":{\"v\":1},\"rows\":[" + records(8) + "],\"n\":8}\n"},
      {"mixed separators", "[" + records(4, ", ") + "," + records(4, ",\n") + "]"},
      {"nested values stay whole",
       "[" +
           std::string(
               R"({"a":{"b":[1,2]},"s":"q\"]}"},{"a":{"b":[3]},"s":"]["},{"a":[{"c":"}"}],"s":"x"},)") +
           R"({"a":null,"s":"\\"},{"a":{},"s":"y"},{"a":"str","s":"zz"}])"},
  };
  for (const auto& [name, doc] : cases) {
    SCOPED_TRACE(name);
    const Bytes input = B(doc);
    const auto layout = preprocess(input);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->metadata[0], 1);
    EXPECT_LT(layout->text.size() + layout->metadata.size(), input.size());
    EXPECT_EQ(reverse(layout->text, layout->metadata, input.size()), input);
  }
}

TEST(JsonArrayUniform, SeparatorModeFollowsTheSeparators) {
  struct Case {
    std::string doc;
    std::uint8_t mode;
  };
  const std::vector<Case> cases = {
      {"[" + records(6, ", ") + "]", 1},
      {"[" + records(3, ", ") + ",\n" + records(3, ", ") + "]",
       0},  // five 2-byte separators listed
  };
  for (const Case& c : cases) {
    const Bytes input = B(c.doc);
    const auto layout = preprocess(input);
    ASSERT_TRUE(layout);
    // The mode byte follows the last piece, whose bytes are "}".
    const Bytes& m = layout->metadata;
    const std::size_t mode_at = c.mode == 1 ? m.size() - 5 : m.size() - 5 * 4 - 1;
    EXPECT_EQ(m[mode_at - 1], '}');
    EXPECT_EQ(m[mode_at], c.mode);
    EXPECT_EQ(reverse(layout->text, layout->metadata, input.size()), input);
  }
}

TEST(JsonArrayUniform, DeclinesWhatItCannotStoreSmaller) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"an empty object element", "[" + records(5) + ",{}]"},
      {"keys in another order", "[" + records(5) + ",{\"count\":1,\"name\":\"x\"}]"},
      {"other spacing", "[" + records(5) + ",{\"name\": \"x\",\"count\":1}]"},
      {"a value holding 0x01", "[" + records(5) + ",{\"name\":\"\x01\",\"count\":1}]"},
      {"not smaller than the input", "[" + objects(5) + "]"},
      {"a separator beyond 65,535 bytes",
       "[" + records(3) + "," + std::string(65536, ' ') + records(3) + "]"},
  };
  for (const auto& [name, doc] : cases) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(preprocess(B(doc)));
  }
}

// A wide first element followed by many small ones: the values of the
// Uniform test are reserved only for as many as the input can hold, and the
// small ones form a group with the wide one left raw.
TEST(JsonArrayUniform, WideFirstElementDoesNotSizeTheValueList) {
  std::string doc = "[{";
  for (int i = 0; i < 60000; ++i) doc += (i ? ",\"k\":1" : "\"k\":1");
  doc += "}";
  for (int i = 0; i < 300000; ++i) doc += ",{\"k\":1}";
  doc += "]";
  const auto layout = preprocess(B(doc));
  ASSERT_TRUE(layout);
  EXPECT_EQ(layout->metadata[0], 2);
  EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), B(doc));
}

TEST(JsonArrayReverse, MetadataOrTextThatDoesNotFitGivesTheTextBack) {
  const Bytes input = B(kItems);
  const auto layout = preprocess(input);
  ASSERT_TRUE(layout);
  const Bytes& t = layout->text;
  const Bytes& m = layout->metadata;
  const std::size_t piece_count_at = 1 + 4 + 2 + 4 + 11 + 4 + 2;
  auto with = [&](std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    Bytes out = m;
    std::size_t i = at;
    for (const auto b : bytes) out[i++] = b;
    return out;
  };
  Bytes one_column_too_few(t.begin(), std::find(t.begin(), t.end(), 0x00));
  Bytes one_value_too_few(t.begin(), t.end() - 5);
  struct Case {
    const char* name;
    Bytes text;
    Bytes metadata;
  };
  const std::vector<Case> cases = {
      {"empty metadata", t, {}},
      {"unknown layout", t, with(0, {0x03})},
      {"grouped metadata that does not parse", t, with(0, {0x02})},
      {"6 bytes", t, Bytes(m.begin(), m.begin() + 6)},
      {"no element", t, with(1, {0, 0, 0, 0})},
      {"no column", t, with(5, {0, 0})},
      {"prefix beyond the metadata", t, with(7, {0xFF, 0xFF, 0xFF, 0x00})},
      {"piece count 0", t, with(piece_count_at, {0, 0})},
      {"piece count other than columns + 1", t, with(piece_count_at, {4, 0})},
      {"cut inside the pieces", t, Bytes(m.begin(), m.begin() + piece_count_at + 5)},
      {"no separator mode", t, Bytes(m.begin(), m.end() - 5)},
      {"the one separator cut", t, Bytes(m.begin(), m.end() - 1)},
      {"more elements than the text can hold", t, with(1, {0xFF, 0xFF, 0xFF, 0x7F})},
      {"listed separators cut", t,
       [&] {
         Bytes out(m.begin(), m.end() - 5);
         out.push_back(0x00);
         out.insert(out.end(), {0x02, 0x00, ',', ' '});
         return out;
       }()},
      {"a text with one column too few", one_column_too_few, m},
      {"a text with one value too few", one_value_too_few, m},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(reverse(c.text, c.metadata, kNoBudgetLimit), c.text);
  }
}

// A small container can declare long pieces repeated over many rows; the
// reverse must give the text back instead of reserving gigabytes.
TEST(JsonArrayReverse, OutputBeyondTheBudgetGivesTheTextBack) {
  const Bytes input = B(kItems);
  const auto layout = preprocess(input);
  ASSERT_TRUE(layout);
  EXPECT_EQ(reverse(layout->text, layout->metadata, input.size()), input);
  EXPECT_EQ(reverse(layout->text, layout->metadata, input.size() - 1), layout->text);

  constexpr std::uint32_t kRows = 100000;
  Bytes text;
  for (std::uint32_t r = 0; r < kRows; ++r) {
    if (r > 0) text.push_back(0x01);
    text.push_back('1');
  }
  Bytes m = {0x01};
  kelvane::kvn::append_u32_le(m, kRows);
  kelvane::kvn::append_u16_le(m, 1);
  kelvane::kvn::append_u32_le(m, 0);
  kelvane::kvn::append_u32_le(m, 0);
  kelvane::kvn::append_u16_le(m, 2);
  for (int piece = 0; piece < 2; ++piece) {
    kelvane::kvn::append_u16_le(m, 65535);
    m.insert(m.end(), 65535, ' ');
  }
  m.push_back(0x01);
  kelvane::kvn::append_u16_le(m, 65535);
  m.insert(m.end(), 65535, ',');
  EXPECT_EQ(reverse(text, m, std::uint64_t{1} << 30), text);
}

// Skipping is iterative and linear: 100,000 levels of alternating objects
// and arrays neither overflow the stack nor take quadratic time.
TEST(JsonArrayDeepNesting, HundredThousandLevels) {
  constexpr int kDepth = 100000;
  std::string open;
  std::string close;
  for (int i = 0; i < kDepth; ++i) {
    open += "[{\"a\":";
    close += "}]";
  }
  const Bytes no_array = B(open + "1" + close);
  EXPECT_FALSE(preprocess(no_array));
  const auto skipped = skip_object(no_array, 1);
  EXPECT_TRUE(skipped.found);
  EXPECT_EQ(skipped.end, no_array.size() - 1);
  EXPECT_TRUE(parse_element(ByteSpan(no_array).subspan(1, no_array.size() - 2)));

  const Bytes innermost = B(open + "[" + records(40) + "]" + close);
  const auto layout = preprocess(innermost);
  ASSERT_TRUE(layout);
  EXPECT_EQ(reverse(layout->text, layout->metadata, innermost.size()), innermost);
}

}  // namespace
