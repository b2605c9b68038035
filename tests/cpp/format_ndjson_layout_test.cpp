// The NDJSON columnar layouts: column classes, the Uniform and Selective
// builders and byte forms, the forward transform's choices and the reverse.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "format/ndjson/ndjson.hpp"

namespace ndjson = kelvane::format::ndjson;
using kelvane::kvn::ByteSpan;
using kelvane::kvn::Bytes;

namespace {

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};
const std::string kThreeRows =
    "{\"alpha\":1,\"beta\":\"x\"}\n{\"alpha\":2,\"beta\":\"y\"}\n{\"alpha\":3,\"beta\":\"z\"}\n";
// Three rows whose column p holds objects alike: flattened into p.x and p.y.
const std::string kNestedRows =
    "{\"p\":{\"x\":1,\"y\":2},\"q\":3}\n{\"p\":{\"x\":4,\"y\":5},\"q\":6}\n"
    "{\"p\":{\"x\":7,\"y\":8},\"q\":9}\n";

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string str(ByteSpan s) { return std::string(s.begin(), s.end()); }

std::deque<std::string> keep_alive;  // backing bytes of the columns built below
ndjson::Column column_of(const std::vector<std::string>& values) {
  ndjson::Column column;
  for (const auto& v : values) column.push_back(span_of(keep_alive.emplace_back(v)));
  return column;
}

// `rows` values of `length` bytes, of which the first `distinct` differ and
// the rest repeat the first.
std::vector<std::string> values_of(std::size_t rows, std::size_t distinct, std::size_t length) {
  std::vector<std::string> values;
  for (std::size_t i = 0; i < rows; ++i) {
    std::string v = std::to_string(i < distinct ? i : 0);
    values.push_back(v + std::string(length - v.size(), 'x'));
  }
  return values;
}

Bytes roundtrip(const std::string& input) {
  const auto layout = ndjson::preprocess(span_of(input));
  if (!layout) return bytes_of(input);
  return ndjson::reverse(layout->text, layout->metadata, input.size());
}

TEST(NdjsonClassifyColumns, RowWiseNeedsTenRowsMostlyDistinctLongValues) {
  struct Case {
    std::size_t rows, distinct, length;
    std::uint8_t expected;
  } cases[] = {
      {9, 9, 200, ndjson::kClassColumnar},   // fewer than ten rows
      {10, 10, 200, ndjson::kClassRowWise},
      {10, 7, 200, ndjson::kClassColumnar},  // 7/10 is not above 0.7
      {10, 8, 128, ndjson::kClassRowWise},   // mean exactly 128
      {10, 10, 127, ndjson::kClassColumnar},
  };
  for (const auto& c : cases) {
    const auto column = column_of(values_of(c.rows, c.distinct, c.length));
    const auto classes = ndjson::classify_columns({column}, static_cast<std::uint32_t>(c.rows));
    EXPECT_EQ(classes, std::vector<std::uint8_t>{c.expected}) << c.rows << " " << c.distinct;
  }
  // A mean of 127.9 rounds down to 127: nine values of 128 bytes and one of 127.
  auto almost = values_of(10, 10, 128);
  almost[9].pop_back();
  EXPECT_EQ(ndjson::classify_columns({column_of(almost)}, 10),
            std::vector<std::uint8_t>{ndjson::kClassColumnar});
}

TEST(NdjsonBuilders, UniformByteForm) {
  const std::string input = "{\"a\":1,\"b\":\"x\"}\n{\"a\":2,\"b\":\"y\"}\n";
  const auto line0 = ndjson::parse_line(span_of(input).first(15));
  ASSERT_TRUE(line0.has_value());
  const auto layout = ndjson::build_uniform_columnar(
      line0->pieces, {column_of({"1", "2"}), column_of({"\"x\"", "\"y\""})}, 2, true);
  EXPECT_EQ(layout.text, (Bytes{'1', 1, '2', 0, '"', 'x', '"', 1, '"', 'y', '"'}));
  const std::string expected_metadata = std::string("\x01\x02\0\0\0\x02\0\x01\x03\0", 10) +
                                        std::string("\x05\0{\"a\":", 7) +
                                        std::string("\x05\0,\"b\":", 7) + std::string("\x01\0}", 3);
  EXPECT_EQ(layout.metadata, bytes_of(expected_metadata));

  // The transform appends the nested block (one 0x00 when nothing nests);
  // metadata that ends right after the pieces reverses the same way.
  Bytes with_block = layout.metadata;
  with_block.push_back(0x00);
  EXPECT_EQ(ndjson::reverse(layout.text, with_block, kNoLimit), bytes_of(input));
  EXPECT_EQ(ndjson::reverse(layout.text, layout.metadata, kNoLimit), bytes_of(input));
  // These two short lines are declined by the size test (38 bytes for 32).
  EXPECT_FALSE(ndjson::preprocess(span_of(input)).has_value());
}

TEST(NdjsonBuilders, SelectiveByteFormAndReverse) {
  const std::vector<std::uint8_t> all_row_wise = {0, 0};
  const std::vector<std::uint8_t> one_row_wise = {1, 0};
  const ndjson::ObjectSkeleton pieces = {span_of(keep_alive.emplace_back("{\"a\":")),
                                         span_of(keep_alive.emplace_back(",\"b\":")),
                                         span_of(keep_alive.emplace_back("}"))};
  const auto a = column_of({"1", "2", "3"});
  const auto b = column_of({"\"p\"", "\"q\"", "\"r\""});
  const std::string lines = "{\"a\":1,\"b\":\"p\"}\n{\"a\":2,\"b\":\"q\"}\n{\"a\":3,\"b\":\"r\"}";

  // Every column row-wise: A is empty and k = 0.
  auto layout = ndjson::build_selective_columnar(pieces, {a, b}, all_row_wise, 3, false);
  EXPECT_EQ(layout.text, bytes_of(std::string("\0\0\0\0", 4) +
                                  "1\x01\"p\"" + std::string(1, '\0') + "2\x01\"q\"" +
                                  std::string(1, '\0') + "3\x01\"r\""));
  EXPECT_EQ(str(ByteSpan(layout.metadata).first(12)),
            std::string("\x03\x03\0\0\0\x02\0\0\0\0\x03\0", 12));
  auto parsed = ndjson::parse_selective_metadata(layout.metadata);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(ndjson::reverse_selective_from_data(layout.text, *parsed, kNoLimit), bytes_of(lines));

  // One row-wise column: each part of B is that column's value in its row.
  layout = ndjson::build_selective_columnar(pieces, {a, b}, one_row_wise, 3, true);
  EXPECT_EQ(layout.text, bytes_of(std::string("\x05\0\0\0", 4) + "1\x01" "2\x01" "3" +
                                  "\"p\"" + std::string(1, '\0') + "\"q\"" +
                                  std::string(1, '\0') + "\"r\""));
  EXPECT_EQ(str(ByteSpan(layout.metadata).subspan(8, 6)), std::string("\x01\0\0\0\x03\0", 6));
  EXPECT_EQ(ndjson::reverse(layout.text, layout.metadata, kNoLimit), bytes_of(lines + "\n"));

  // Row-wise parts with the right separator totals but a value moved from
  // one row to another give the text back.
  layout = ndjson::build_selective_columnar(pieces, {a, b}, all_row_wise, 3, false);
  const Bytes moved = bytes_of(std::string("\0\0\0\0", 4) + "1\x01\"p\"\x01" "2" +
                               std::string(1, '\0') + "\"q\"" + std::string(1, '\0') + "3\x01\"r\"");
  EXPECT_EQ(ndjson::reverse(moved, layout.metadata, kNoLimit), moved);
}

TEST(NdjsonPreprocess, DeclinesInputItCannotLayOut) {
  const std::string line = "{\"name\":\"value number one\"}";
  const std::string cases[] = {
      "",
      line,                              // one line
      line + "\n",                       // one line and its LF
      "\n" + line + "\n" + line,         // begins with LF
      line + "\n\n" + line,              // an empty line between rows
      line + "\n" + line + "\n\n",       // two LFs at the end
      line + "\n{\"other\":\"value number one\"}",  // shapes differ (grouped layout declines)
      line + "\n[1,2]",
  };
  for (const auto& input : cases) {
    EXPECT_FALSE(ndjson::preprocess(span_of(input)).has_value()) << input;
  }
}

TEST(NdjsonPreprocess, UniformSizeTestIsStrict) {
  // Two rows, total piece length 13, with a final LF: text plus metadata
  // equals the input exactly, so the layout is not taken; one more key byte
  // saves a byte per row in the text and costs one in the metadata.
  const std::string equal = "{\"abcdefgh\":1}\n{\"abcdefgh\":2}\n";
  const std::string shorter = "{\"abcdefghi\":1}\n{\"abcdefghi\":2}\n";
  const auto layout = ndjson::build_uniform_columnar(
      ndjson::parse_line(span_of(equal).first(14))->pieces, {column_of({"1", "2"})}, 2, true);
  ASSERT_EQ(layout.text.size() + layout.metadata.size(), equal.size());
  EXPECT_FALSE(ndjson::preprocess(span_of(equal)).has_value());
  EXPECT_TRUE(ndjson::preprocess(span_of(shorter)).has_value());
}

TEST(NdjsonPreprocess, ChoosesSelectiveForDistinctLongColumns) {
  const auto rows_of = [](int rows) {
    std::string input;
    for (int i = 0; i < rows; ++i) {
      input += "{\"id\":" + std::to_string(i % 3) + ",\"msg\":\"" + std::to_string(i) +
               std::string(200, 'm') + "\"}\n";
    }
    return input;
  };
  struct Case {
    int rows;
    ndjson::ColumnarLayout layout;
  } cases[] = {{9, ndjson::ColumnarLayout::Uniform}, {10, ndjson::ColumnarLayout::Selective}};
  for (const auto& c : cases) {
    const std::string input = rows_of(c.rows);
    const auto layout = ndjson::preprocess(span_of(input));
    ASSERT_TRUE(layout.has_value()) << c.rows;
    EXPECT_EQ(layout->metadata.at(0), static_cast<std::uint8_t>(c.layout)) << c.rows;
    EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
  }
}

TEST(NdjsonReverse, RestoresEveryLineExactly) {
  const std::string cases[] = {
      kThreeRows,
      kThreeRows.substr(0, kThreeRows.size() - 1),
      "{\"alpha\":1,\"beta\":\"x\"}\r\n{\"alpha\":2,\"beta\":\"y\"}\r\n",  // CR stays in the last piece
      " { \"k\" :\t\"a\\\"b\" , \"z\":[1,{\"q\":\"]\"}] } tail\n { \"k\" :\t\"c\" , \"z\":[] } tail",
  };
  for (const auto& input : cases) {
    const auto layout = ndjson::preprocess(span_of(input));
    ASSERT_TRUE(layout.has_value()) << input;
    EXPECT_EQ(roundtrip(input), bytes_of(input)) << input;
  }
}

TEST(NdjsonReverse, NestedColumnsAreFlattenedInsideTheUniformLayout) {
  const std::string& input = kNestedRows;
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  // Three columns: p.x, p.y, q.
  EXPECT_EQ(layout->text, (Bytes{'1', 1, '4', 1, '7', 0, '2', 1, '5', 1, '8', 0, '3', 1, '6', 1, '9'}));
  const std::size_t pieces_end = 10 + 7 + 7 + 3;
  ASSERT_GT(layout->metadata.size(), pieces_end);
  EXPECT_NE(layout->metadata[pieces_end], 0x00);  // the serialized infos
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
}

// Once the nested block is read and the text unflattened, a rebuild that
// fails gives the unflattened text, not the flat one it was handed.
TEST(NdjsonReverse, RebuildThatFailsAfterUnflatteningGivesTheUnflattenedText) {
  const std::string& input = kNestedRows;
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  const std::size_t pieces_end = 10 + 7 + 7 + 3;
  const ByteSpan nested_block = ByteSpan(layout->metadata).subspan(pieces_end);
  ASSERT_NE(nested_block[0], 0x00);
  const std::string unflattened = std::string("{\"x\":1,\"y\":2}\x01{\"x\":4,\"y\":5}\x01{\"x\":7,\"y\":8}") +
                                  '\0' + "3\x01" "6\x01" "9";
  // One column and two pieces, consistent with each other, against the two
  // columns of the unflattened text.
  Bytes one_column = {1, 3, 0, 0, 0, 1, 0, 1, 2, 0, 1, 0, '{', 1, 0, '}'};
  one_column.insert(one_column.end(), nested_block.begin(), nested_block.end());
  EXPECT_EQ(ndjson::reverse(layout->text, one_column, kNoLimit), bytes_of(unflattened));
  // The right metadata, and lines one byte over the budget.
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size() - 1), bytes_of(unflattened));
}

TEST(NdjsonReverse, FlatteningBeyondSixtyFiveThousandColumnsIsNotKept) {
  // Two nested columns of 40,000 keys each would flatten to 80,000 columns,
  // more than the layout can state: the nested block stays a single 0x00.
  std::string line = "{";
  for (const char* name : {"a", "b"}) {
    line += std::string(line.size() > 1 ? "," : "") + "\"" + name + "\":{";
    for (int k = 0; k < 40000; ++k) line += (k ? ",\"" : "\"") + std::to_string(k) + "\":1";
    line += "}";
  }
  line += "}";
  const std::string input = line + "\n" + line + "\n" + line + "\n" + line + "\n";
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(layout->metadata.back(), 0x00);
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
}

TEST(NdjsonReverse, MetadataOrTextThatDoesNotFitGivesTheTextBack) {
  const std::string& input = kThreeRows;
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  const Bytes& text = layout->text;
  const Bytes& good = layout->metadata;
  const auto patched = [&](std::size_t offset, std::uint8_t value) {
    Bytes m = good;
    m[offset] = value;
    return m;
  };
  struct Case {
    const char* what;
    Bytes text;
    Bytes metadata;
  } cases[] = {
      {"empty metadata", text, {}},
      {"layout 0", text, patched(0, 0)},
      {"layout 4", text, patched(0, 4)},
      {"grouped shorter than 8 bytes", text, {2, 0, 0, 0, 0, 0, 0}},
      {"uniform shorter than 10 bytes", text, Bytes(good.begin(), good.begin() + 9)},
      {"piece cut short", text, Bytes(good.begin(), good.begin() + 20)},
      {"row count 0", text, patched(1, 0)},
      {"row count one more", text, patched(1, 4)},
      {"column count 0", text, patched(5, 0)},
      {"piece count not columns + 1", text, patched(8, 2)},
      {"text with a column too few", Bytes{'1', 1, '2', 1, '3'}, good},
      {"text with a value too many", Bytes{'1', 1, '2', 1, '3', 1, '4', 0, 'x', 1, 'y', 1, 'z'}, good},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ndjson::reverse(c.text, c.metadata, kNoLimit), c.text) << c.what;
  }

  // Selective metadata listing an index twice, or one not below the column count.
  const Bytes selective_text = bytes_of(std::string("\x03\0\0\0", 4) + "1\x01" "2");
  const std::string tail = std::string("\x03\0", 2) + std::string("\x05\0{\"a\":", 7) +
                           std::string("\x05\0,\"b\":", 7) + std::string("\x01\0}", 3);
  const Bytes twice = bytes_of(std::string("\x03\x02\0\0\0\x02\0\x01\x02\0\0\0\0\0", 14) + tail);
  const Bytes beyond = bytes_of(std::string("\x03\x02\0\0\0\x02\0\x01\x01\0\x02\0", 12) + tail);
  EXPECT_EQ(ndjson::reverse(selective_text, twice, kNoLimit), selective_text);
  EXPECT_EQ(ndjson::reverse(selective_text, beyond, kNoLimit), selective_text);
}

TEST(NdjsonReverse, OutputIsBoundedByTheBudget) {
  const std::string& input = kThreeRows;
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size() - 1), layout->text);

  // 1 MiB of value separators names a million rows, and one 65,535-byte
  // piece makes each rebuilt row that long: about 64 GiB. The budget
  // refuses it before anything is reserved.
  const Bytes text(1 << 20, ndjson::VALUE_SEPARATOR);
  Bytes metadata = {1};
  kelvane::kvn::append_u32_le(metadata, (1u << 20) + 1);
  kelvane::kvn::append_u16_le(metadata, 1);
  metadata.push_back(1);
  kelvane::kvn::append_u16_le(metadata, 2);
  kelvane::kvn::append_u16_le(metadata, 0xFFFF);
  metadata.insert(metadata.end(), 0xFFFF, 'k');
  kelvane::kvn::append_u16_le(metadata, 0);
  EXPECT_EQ(ndjson::reverse(text, metadata, 2 << 20), text);
}

}  // namespace
