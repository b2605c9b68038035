// The value dictionary: the per-column verdict, the exact text and metadata,
// the 65,535-column limit, and the reverse on damaged metadata and within
// its budget.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "format/value_dict/value_dict.hpp"

namespace {

using namespace kelvane::format::value_dict;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

constexpr std::uint64_t kNoBudgetLimit = ~std::uint64_t{0};

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string S(ByteSpan s) { return std::string(s.begin(), s.end()); }

// `values` joined by 0x01.
std::string column_of(const std::vector<std::string>& values) {
  std::string out;
  for (std::size_t i = 0; i < values.size(); ++i) out += (i ? "\x01" : "") + values[i];
  return out;
}

// n values cycling through `distinct`.
std::vector<std::string> cycle(const std::vector<std::string>& distinct, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(distinct[static_cast<std::size_t>(i) % distinct.size()]);
  return out;
}

std::vector<std::string> numbered(int n, const std::string& prefix = "v") {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(prefix + std::to_string(i));
  return out;
}

Bytes forward_and_back(const Bytes& input) {
  const auto out = preprocess(input);
  EXPECT_TRUE(out);
  if (!out) return {};
  EXPECT_LT(out->text.size() + out->metadata.size(), input.size());
  return reverse(out->text, out->metadata, input.size());
}

TEST(ValueDict, OneRepeatedStringGivesTheExactTextAndMetadata) {
  const Bytes input = B(column_of(cycle({"\"x\""}, 100)));
  ASSERT_EQ(input.size(), 399u);
  const auto out = preprocess(input);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->metadata, (Bytes{0x01, 0x01, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, '"', 'x', '"'}));
  Bytes text;
  for (int i = 0; i < 100; ++i) {
    if (i) text.push_back(0x01);
    text.push_back(0x02);
  }
  EXPECT_EQ(out->text, text);
  EXPECT_EQ(reverse(out->text, out->metadata, input.size()), input);
}

TEST(ValueDict, ColumnVerdicts) {
  const std::string hundred(100, 'a');
  struct Case {
    const char* name;
    std::string column;
    std::vector<std::string> dictionary;  // empty: verbatim
  } cases[] = {
      {"253 distinct values may share a dictionary", column_of(cycle(numbered(253), 2530)),
       numbered(253)},
      {"254 distinct values never do", column_of(cycle(numbered(254), 2540)), {}},
      {"one-byte values never pay for their codes", column_of(cycle({"1", "2"}, 500)), {}},
      {"all distinct: the entries outweigh the column",
       column_of({hundred + "1", hundred + "2", hundred + "3", hundred + "4"}), {}},
      {"most frequent first, ties in order of first occurrence",
       column_of(cycle({"\"b\"", "\"a\"", "\"c\"", "\"a\"", "\"c\"", "\"b\"", "\"c\"", "\"d\"",
                        "\"d\"", "\"c\"", "\"b\"", "\"a\""}, 60)),
       {"\"c\"", "\"b\"", "\"a\"", "\"d\""}},
      {"an empty value is a value", column_of(cycle({"", "\"zzzzzz\"", "", "\"zzzzzz\"", ""}, 50)),
       {"", "\"zzzzzz\""}},
  };
  for (const auto& c : cases) {
    const Bytes column = B(c.column);
    const ColumnAnalysis analysis = analyze_column(column);
    std::vector<std::string> dictionary;
    for (const ByteSpan entry : analysis.dictionary) dictionary.push_back(S(entry));
    EXPECT_EQ(dictionary, c.dictionary) << c.name;
    EXPECT_EQ(analysis.uses_dictionary, !c.dictionary.empty()) << c.name;
  }
}

TEST(ValueDict, SplitsKeepEmptySlices) {
  EXPECT_EQ(split_columns({}).size(), 1u);
  const Bytes text = {0x00, 'a', 0x01, 0x01, 0x00};
  const auto columns = split_columns(text);
  ASSERT_EQ(columns.size(), 3u);
  EXPECT_EQ(S(columns[1]), "a\x01\x01");
  EXPECT_EQ(split_values(columns[1]).size(), 3u);
}

TEST(ValueDict, MixedColumnsRoundTrip) {
  // Dictionary, verbatim and empty columns side by side, the last one empty.
  const std::string text = column_of(cycle({"\"GET\"", "\"POST\"", "\"PUT\""}, 60)) + '\0' +
                           column_of(numbered(60, "id-")) + '\0' + '\0' +
                           column_of(cycle({"true", "false", "null"}, 60)) + '\0';
  const Bytes input = B(text);
  const auto out = preprocess(input);
  ASSERT_TRUE(out);
  const auto metadata = ValueDictMetadata::parse(out->metadata);
  ASSERT_TRUE(metadata);
  ASSERT_EQ(metadata->columns.size(), 5u);
  EXPECT_FALSE(metadata->columns[0].verbatim);
  EXPECT_TRUE(metadata->columns[1].verbatim);
  EXPECT_TRUE(metadata->columns[2].verbatim);
  EXPECT_FALSE(metadata->columns[3].verbatim);
  EXPECT_TRUE(metadata->columns[4].verbatim);
  EXPECT_EQ(out->metadata.size(), metadata->serialized_size());
  EXPECT_EQ(metadata->serialize(), out->metadata);
  EXPECT_EQ(reverse(out->text, out->metadata, input.size()), input);
}

TEST(ValueDict, Declines) {
  const std::string no_gain = column_of(numbered(50)) + '\0' + column_of(cycle({"1", "2"}, 50));
  // The column earns a dictionary (21 bytes against a cost of 20), but text
  // and metadata together come to 21 bytes as well.
  const std::string small_gain = column_of(cycle({"\"abcdefgh\""}, 2));
  for (const std::string& input : {std::string(), no_gain, small_gain}) {
    EXPECT_FALSE(preprocess(B(input))) << input;
  }
}

TEST(ValueDict, DeclinesBeyondSixtyFiveThousandColumns) {
  // One long column that a dictionary shrinks by far more than the one
  // metadata byte each empty column costs, then empty columns (0x00 bytes,
  // as a typed stream is full of).
  const std::string long_column =
      column_of(cycle({"\"a rather long repeated string value\"", "\"another one\""}, 40000));
  const auto with_columns = [&](std::size_t columns) {
    return B(long_column + std::string(columns - 1, '\0'));
  };
  const Bytes widest = with_columns(kMaxColumns);
  EXPECT_EQ(forward_and_back(widest), widest);
  EXPECT_FALSE(preprocess(with_columns(kMaxColumns + 1)));
  EXPECT_FALSE(preprocess(with_columns(200000)));
}

TEST(ValueDict, ReverseOfDamagedMetadataOrData) {
  // Three columns of data: codes 2, 3 and 7 (past a dictionary of 3), an
  // empty value and a long one stay as they are.
  const Bytes data = {0x02, 0x01, 0x03, 0x01, 0x07, 0x01, 0x01, 'l', 'o', 'n', 'g', 0x00,
                      'v', 0x00, 'w'};
  const Bytes dictionary3 = {0x01, 0x03, 0x00, 0x03, 0x01, 0x00, 0x00, 0x00, 'A', 0x02, 0x00,
                             0x00, 0x00, 'B', 'B', 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF};
  const auto with_count = [&](std::uint16_t count) {
    Bytes m = dictionary3;
    m[1] = static_cast<std::uint8_t>(count);
    m[2] = static_cast<std::uint8_t>(count >> 8);
    return m;
  };
  Bytes cut_entry = dictionary3;
  cut_entry[4] = 0xFF;  // the first entry's length runs past the end
  cut_entry[7] = 0xFF;
  struct Case {
    const char* name;
    Bytes metadata;
    std::string expected;
  } cases[] = {
      {"all three columns", dictionary3, "A\x01" "BB\x01\x01\x01long" + std::string(1, '\0') + "v" +
                                             std::string(1, '\0') + "w"},
      {"count 2: the third column is dropped", with_count(2),
       "A\x01" "BB\x01\x01\x01long" + std::string(1, '\0') + "v"},
      {"count 1: one column, no separator", with_count(1), "A\x01" "BB\x01\x01\x01long"},
      {"count 0: nothing", with_count(0), ""},
      {"metadata of 2 bytes: the data as it is", Bytes{0x01, 0x03}, std::string(data.begin(), data.end())},
      {"a column entry missing", with_count(4), std::string(data.begin(), data.end())},
      {"an entry length past the end", cut_entry, std::string(data.begin(), data.end())},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(S(reverse(data, c.metadata, kNoBudgetLimit)), c.expected) << c.name;
  }
  // More columns stated than the data holds: each one rebuilt is followed by
  // a separator.
  Bytes four = dictionary3;
  four[1] = 4;
  four.push_back(0xFF);
  EXPECT_EQ(S(reverse(Bytes{'x'}, four, kNoBudgetLimit)), std::string("\0", 1));
}

TEST(ValueDict, ReverseStaysWithinItsBudget) {
  // A two-byte text standing for two 1,000-byte values.
  Bytes metadata = {0x01, 0x01, 0x00, 0x01, 0xE8, 0x03, 0x00, 0x00};
  metadata.insert(metadata.end(), 1000, 'q');
  const Bytes data = {0x02, 0x01, 0x02};
  EXPECT_EQ(reverse(data, metadata, 2001).size(), 2001u);
  EXPECT_EQ(reverse(data, metadata, 2000), data);
}

}  // namespace
