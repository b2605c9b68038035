// The key dictionary: the key scan, the dictionary's order and limits, the
// exact text and metadata, and the reverse on damaged tokens and metadata
// and within its budget.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "format/json/json.hpp"

namespace {

using namespace kelvane::format::json;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

constexpr std::uint64_t kNoBudgetLimit = ~std::uint64_t{0};

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string S(ByteSpan s) { return std::string(s.begin(), s.end()); }

std::vector<std::string> keys_of(const std::string& doc) {
  const Bytes bytes = B(doc);
  std::vector<std::string> keys;
  for (const auto& occurrence : find_keys(bytes)) keys.push_back(S(occurrence.key));
  return keys;
}

std::vector<std::string> dictionary_of(const std::string& doc) {
  const Bytes bytes = B(doc);
  const auto occurrences = find_keys(bytes);
  std::vector<std::string> keys;
  for (const ByteSpan key : build_dictionary(occurrences)) keys.push_back(S(key));
  return keys;
}

// `{"<key 0>":0, ...}` over `keys`, the whole object written `times` times.
std::string objects_with(const std::vector<std::string>& keys, int times) {
  std::string object = "{";
  for (std::size_t i = 0; i < keys.size(); ++i) {
    object += (i ? ",\"" : "\"") + keys[i] + "\":" + std::to_string(i % 10);
  }
  object += "}\n";
  std::string out;
  for (int t = 0; t < times; ++t) out += object;
  return out;
}

std::vector<std::string> numbered_keys(int n) {
  std::vector<std::string> keys;
  char name[16];
  for (int i = 0; i < n; ++i) {
    std::snprintf(name, sizeof(name), "k%05d", i);
    keys.push_back(name);
  }
  return keys;
}

TEST(KeyDict, TwoObjectsGiveTheExactTextAndMetadata) {
  const Bytes input = B(R"([{"id":1},{"id":2}])");
  ASSERT_EQ(input.size(), 19u);
  const auto out = preprocess(input);
  ASSERT_TRUE(out);
  const Bytes text = {'[', '{', 0x00, 0x00, ':', '1', '}', ',', '{', 0x00, 0x00, ':', '2', '}', ']'};
  EXPECT_EQ(out->text, text);
  EXPECT_EQ(out->metadata, (Bytes{0x01, 0x01, 0x00, 0x02, 0x00, 'i', 'd'}));
  EXPECT_EQ(reverse(out->text, out->metadata, input.size()), input);
}

TEST(KeyDict, FindsKeysOnlyWhereAColonFollows) {
  struct Case {
    const char* doc;
    std::vector<std::string> keys;
  } cases[] = {
      {R"({"a":1,"b" :"c","d"})", {"a", "b"}},
      {"{\"tab\"\t\r\n :1}", {"tab"}},
      {R"({"v":"\"k\":1","w":2})", {"v", "w"}},  // key-like text inside a value
      {R"({"q\"x":1})", {"q\\\"x"}},              // an escaped quote stays in the key
      {R"(["x":1, "open:)", {"x"}},               // a string left open ends the scan
      {"{\"a\":1}\"b\"", {"a"}},                  // no ':' after the last string
  };
  for (const auto& c : cases) EXPECT_EQ(keys_of(c.doc), c.keys) << c.doc;
}

TEST(KeyDict, DictionaryOrder) {
  struct Case {
    const char* doc;
    std::vector<std::string> keys;
  } cases[] = {
      {R"({"b":1,"a":2,"b":3,"a":4,"once":5})", {"a", "b"}},
      {R"({"b":1,"a":2,"c":0,"b":3,"c":0,"a":4,"c":0})", {"c", "a", "b"}},
      {R"({"ab":1,"a":2,"ab":3,"a":4,"B":1,"B":2})", {"B", "a", "ab"}},  // bytes, prefix first
      {R"({"x":1,"y":2})", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(dictionary_of(c.doc), c.keys) << c.doc;
}

TEST(KeyDict, FormsOfTheTokens) {
  // 254 keys of equal count: index 252 is the last one-byte token, index 253
  // the first wide one.
  const std::string doc = objects_with(numbered_keys(254), 2);
  const auto out = preprocess(B(doc));
  ASSERT_TRUE(out);
  const std::string text = S(out->text);
  EXPECT_NE(text.find(std::string("{\0\0:0,\0\x01:1", 10)), std::string::npos);
  EXPECT_NE(text.find(std::string("\0\xFC:2,\0\xFD\xFD\0:3}", 12)), std::string::npos);
  EXPECT_EQ(out->metadata.size(), 3u + 254 * (2 + 6));
  EXPECT_EQ(reverse(out->text, out->metadata, doc.size()), B(doc));

  // A 0x00 of the input is written as 0x00 0xFE.
  const Bytes with_zero = B(std::string("{\"a\":\"\0\",\"a\":1}", 15));
  const auto zero = preprocess(with_zero);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->text, (Bytes{'{', 0x00, 0x00, ':', '"', 0x00, 0xFE, '"', ',', 0x00, 0x00, ':', '1', '}'}));
  EXPECT_EQ(reverse(zero->text, zero->metadata, with_zero.size()), with_zero);
}

TEST(KeyDict, KeepsOrDeclinesByTheTextAlone) {
  // One-letter keys: each token saves a byte, so the result is kept though
  // the metadata outweighs the saving.
  const Bytes short_keys = B(R"({"a":1,"b":2}{"a":3,"b":4})");
  const auto kept = preprocess(short_keys);
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->text.size(), short_keys.size() - 4);
  EXPECT_GT(kept->metadata.size(), 4u);
  EXPECT_EQ(reverse(kept->text, kept->metadata, short_keys.size()), short_keys);

  const std::string doubled_zeros("{\"a\":1,\"a\":2}\0\0\0", 16);  // saves 2, escapes cost 3
  for (const std::string& doc : {std::string(), std::string("no keys here"),
                                 std::string(R"({"a":1,"b":2})"),
                                 std::string(R"({"":1,"":2})"),  // a token is no shorter than ""
                                 doubled_zeros}) {
    EXPECT_FALSE(preprocess(B(doc))) << doc;
  }
}

TEST(KeyDict, KeysBeyondTheLimitsStayInTheText) {
  // A repeated key of 65,536 bytes cannot state its length; one of 65,535 can.
  const std::string longest(kMaxKeyLength, 'L');
  const std::string too_long = longest + "L";
  const std::string doc = objects_with({longest, too_long, "id"}, 2);
  const auto out = preprocess(B(doc));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->metadata.size(), 3u + 2 + kMaxKeyLength + 2 + 2);
  EXPECT_NE(S(out->text).find("\"" + too_long + "\""), std::string::npos);
  EXPECT_EQ(reverse(out->text, out->metadata, doc.size()), B(doc));

  // 65,536 repeated keys: the last by the dictionary's order stays as text.
  const auto keys = numbered_keys(65536);
  const std::string many = objects_with(keys, 2);
  const auto wide = preprocess(B(many));
  ASSERT_TRUE(wide);
  EXPECT_EQ(wide->metadata[1] | (wide->metadata[2] << 8), 0xFFFF);
  EXPECT_NE(S(wide->text).find("\"k65535\""), std::string::npos);
  EXPECT_EQ(S(wide->text).find("\"k65534\""), std::string::npos);
  EXPECT_EQ(reverse(wide->text, wide->metadata, many.size()), B(many));
}

TEST(KeyDict, ReverseOfDamagedTokensAndMetadata) {
  const Bytes two_keys = {0x01, 0x02, 0x00, 0x01, 0x00, 'a', 0x02, 0x00, 'b', 'b'};
  const Bytes cut_keys = {0x01, 0x02, 0x00, 0x01, 0x00, 'a', 0x02, 0x00, 'b'};  // "bb" is cut
  struct Case {
    const char* name;
    Bytes data;
    Bytes metadata;
    std::string expected;
  } cases[] = {
      {"a token with no key", {0x41, 0x00, 0x05}, {}, "A"},
      {"a trailing 0x00", {0x41, 0x00}, two_keys, "A"},
      {"a cut wide token", {0x00, 0xFD, 0x42}, two_keys, "B"},
      {"wide and short tokens", {0x00, 0xFD, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFE}, two_keys,
       std::string("\"bb\"\"a\"\0", 8)},
      {"a wide index past the keys", {'x', 0x00, 0xFD, 0x02, 0x00, 'y'}, two_keys, "xy"},
      {"0xFF is no token", {0x00, 0xFF, 'z'}, two_keys, "z"},
      {"keys cut short: those read", {0x00, 0x00, 0x00, 0x01}, cut_keys, "\"a\""},
      {"metadata of 4 bytes: no keys", {0x00, 0x00, 'k'}, {0x01, 0x01, 0x00, 0x00}, "k"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(S(reverse(c.data, c.metadata, kNoBudgetLimit)), c.expected) << c.name;
  }
}

TEST(KeyDict, ReverseStaysWithinItsBudget) {
  Bytes metadata = {0x01, 0x01, 0x00, 0xE8, 0x03};
  metadata.insert(metadata.end(), 1000, 'k');
  const Bytes data = {0x00, 0x00, ':', 0x00, 0x00};  // 2 x 1,002 bytes and a colon
  EXPECT_EQ(reverse(data, metadata, 2005).size(), 2005u);
  EXPECT_EQ(reverse(data, metadata, 2004), data);
}

}  // namespace
