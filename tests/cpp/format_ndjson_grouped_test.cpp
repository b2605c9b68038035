// The NDJSON Grouped layout: its byte form, which lines form groups, the
// DiscriminatorColumn search and the choice between the passes, the limits
// it declines at, and a reverse that gives the text back on anything it
// cannot use.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "format/ndjson/grouped.hpp"
#include "format/ndjson/row_table.hpp"

namespace ndjson = kelvane::format::ndjson;
using kelvane::kvn::ByteSpan;
using kelvane::kvn::Bytes;

namespace {

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

ByteSpan span_of(const std::string& s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
void append(Bytes& out, const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }

// The lines of an input (no empty line), and its row table.
struct Lines {
  std::vector<ByteSpan> lines;
  ndjson::RowTable table;
  explicit Lines(const std::string& input) : lines(split(input)), table(span_of(input), lines) {}
  static std::vector<ByteSpan> split(const std::string& input) {
    std::vector<ByteSpan> out;
    for (std::size_t pos = 0; pos < input.size();) {
      std::size_t end = input.find('\n', pos);
      if (end == std::string::npos) end = input.size();
      out.push_back(span_of(input).subspan(pos, end - pos));
      pos = end + 1;
    }
    return out;
  }
};

std::string join(const std::vector<std::string>& lines, bool final_lf) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += lines[i] + (i + 1 < lines.size() || final_lf ? "\n" : "");
  return out;
}

// Group count, residual count and each group's first line of Grouped
// metadata.
struct Counts {
  std::uint16_t groups;
  std::uint32_t residual;
  std::vector<std::uint32_t> first_lines;
};
Counts counts_of(const Bytes& metadata) {
  kelvane::kvn::ByteReader r(ByteSpan(metadata).subspan(6));
  std::uint16_t groups = 0;
  (void)r.read_u16(groups);
  std::vector<std::uint32_t> first_lines;
  for (std::uint16_t g = 0; g < groups; ++g) {
    std::uint32_t n = 0, m = 0, first = 0;
    (void)r.read_u32(n);
    (void)r.read_u32(first);
    first_lines.push_back(first);
    (void)r.skip(4ull * n - 4);
    (void)r.read_u32(m);
    (void)r.skip(m);
  }
  std::uint32_t residual = 0;
  (void)r.read_u32(residual);
  return {groups, residual, first_lines};
}

// A Grouped layout put together by hand: per group its line indices, its
// metadata and its text; no residual rows.
struct HandGroup {
  std::vector<std::uint32_t> indices;
  Bytes metadata;
  std::string text;
};
ndjson::Layout grouped_by_hand(std::uint32_t lines, bool trailing_newline,
                               const std::vector<HandGroup>& groups) {
  ndjson::Layout out;
  out.metadata = {2, static_cast<std::uint8_t>(trailing_newline ? 1 : 0)};
  kelvane::kvn::append_u32_le(out.metadata, lines);
  kelvane::kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(groups.size()));
  for (const HandGroup& g : groups) {
    kelvane::kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(g.indices.size()));
    for (const std::uint32_t index : g.indices) kelvane::kvn::append_u32_le(out.metadata, index);
    kelvane::kvn::append_u32_le(out.metadata, static_cast<std::uint32_t>(g.metadata.size()));
    out.metadata.insert(out.metadata.end(), g.metadata.begin(), g.metadata.end());
    kelvane::kvn::append_u32_le(out.text, static_cast<std::uint32_t>(g.text.size()));
    append(out.text, g.text);
  }
  kelvane::kvn::append_u32_le(out.metadata, 0);
  return out;
}

// Uniform group metadata of `rows` rows of one column between two pieces,
// with no nested block.
Bytes uniform_of(std::uint32_t rows, const std::string& open, const std::string& close) {
  Bytes m = {1};
  kelvane::kvn::append_u32_le(m, rows);
  m.insert(m.end(), {1, 0, 0, 2, 0});
  for (const std::string* piece : {&open, &close}) {
    kelvane::kvn::append_u16_le(m, static_cast<std::uint16_t>(piece->size()));
    append(m, *piece);
  }
  m.push_back(0x00);
  return m;
}

// A line of shape A (long keys, so grouping pays) or B.
std::string line_a(int i) {
  return "{\"timestamp\":" + std::to_string(1700000000 + i) + ",\"severity\":\"info\",\"message\":\"m" +
         std::to_string(i % 3) + "\"}";
}
std::string line_b(int i) { return "{\"connection\":" + std::to_string(i) + ",\"protocol\":\"tcp\"}"; }

// Five lines of one shape, one line of another and a line that is no
// object: one group of rows 0, 2, 4, 5, 6, residual rows 1 and 3.
const std::vector<std::string> kMixed = {
    "{\"a\":1,\"b\":\"x\"}", "{\"c\":true}", "{\"a\":2,\"b\":\"y\"}", "[1,2]",
    "{\"a\":3,\"b\":\"z\"}", "{\"a\":4,\"b\":\"w\"}", "{\"a\":5,\"b\":\"v\"}"};

TEST(NdjsonGrouped, ByteForm) {
  const std::string input = join(kMixed, true);
  const Lines lines(input);
  const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
  ASSERT_TRUE(layout.has_value());

  Bytes group_metadata = {1, 5, 0, 0, 0, 2, 0, 0, 3, 0};
  append(group_metadata, std::string("\x05\0{\"a\":", 7) + std::string("\x05\0,\"b\":", 7) +
                             std::string("\x01\0}", 3));
  group_metadata.push_back(0x00);  // no nested column
  Bytes metadata = {2, 1, 7, 0, 0, 0, 1, 0, 5, 0, 0, 0};
  for (std::uint8_t row : {0, 2, 4, 5, 6}) metadata.insert(metadata.end(), {row, 0, 0, 0});
  metadata.insert(metadata.end(), {static_cast<std::uint8_t>(group_metadata.size()), 0, 0, 0});
  metadata.insert(metadata.end(), group_metadata.begin(), group_metadata.end());
  metadata.insert(metadata.end(), {2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0});
  EXPECT_EQ(layout->metadata, metadata);

  const std::string group_text =
      std::string("1\x01" "2\x01" "3\x01" "4\x01" "5", 9) + std::string(1, '\0') +
      "\"x\"\x01\"y\"\x01\"z\"\x01\"w\"\x01\"v\"";
  Bytes text = {static_cast<std::uint8_t>(group_text.size()), 0, 0, 0};
  append(text, group_text + "{\"c\":true}\n[1,2]");
  EXPECT_EQ(layout->text, text);
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));

  // Not smaller than these short lines: the transform declines them.
  EXPECT_FALSE(ndjson::preprocess(span_of(input)).has_value());
}

TEST(NdjsonGrouped, WhichLinesFormGroups) {
  const auto lines_of = [](int a, int b, bool interleave) {
    std::vector<std::string> out;
    for (int i = 0; i < std::max(a, b); ++i) {
      if (interleave && i < b) out.push_back(line_b(i));
      if (i < a) out.push_back(line_a(i));
      if (!interleave && i < b) out.push_back(line_b(i));
    }
    return out;
  };
  struct Case {
    const char* name;
    std::vector<std::string> lines;
    int groups;  // -1: declined
    std::uint32_t residual;
  } cases[] = {
      {"four lines of several shapes", {line_a(0), line_b(1), line_a(2), line_b(3)}, -1, 0},
      {"four of each shape", lines_of(4, 4, true), -1, 0},
      {"five of one shape, three of another", lines_of(5, 3, true), 1, 3},
      {"two groups, the later shape first", lines_of(6, 6, true), 2, 0},
      {"one shape, keys in another order in some lines",
       {line_a(0), line_a(1), line_a(2), line_a(3), line_a(4),
        "{\"severity\":\"info\",\"timestamp\":1700000005,\"message\":\"m2\"}",
        "{\"severity\":\"info\",\"timestamp\":1700000006,\"message\":\"m0\"}"},
       1, 2},
      {"lines that are no objects stay raw",
       {line_a(0), "[1,2]", line_a(1), "not json", line_a(2), line_a(3), " \t", line_a(4)}, 1, 3},
  };
  for (const auto& c : cases) {
    for (const bool final_lf : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (final_lf ? ", final LF" : ", no final LF"));
      const std::string input = join(c.lines, final_lf);
      const auto layout = ndjson::preprocess(span_of(input));
      if (c.groups < 0) {
        EXPECT_FALSE(layout.has_value());
        continue;
      }
      ASSERT_TRUE(layout.has_value());
      ASSERT_EQ(layout->metadata.at(0), 2);
      const Counts counts = counts_of(layout->metadata);
      EXPECT_EQ(counts.groups, c.groups);
      EXPECT_EQ(counts.residual, c.residual);
      // Groups in the order of their first line.
      EXPECT_TRUE(std::is_sorted(counts.first_lines.begin(), counts.first_lines.end()));
      EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
    }
  }
}

TEST(NdjsonGrouped, FiveLinesOfOneShapeFormOneGroup) {
  std::vector<std::string> rows;
  for (int i = 0; i < 5; ++i) rows.push_back("{\"a\":" + std::to_string(i) + "}");
  const std::string input = join(rows, true);
  const Lines lines(input);
  const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(counts_of(layout->metadata).groups, 1);
  EXPECT_EQ(counts_of(layout->metadata).residual, 0u);
}

TEST(NdjsonGrouped, CrlfLinesAndLoneCarriageReturnsComeBack) {
  std::string input;
  for (int i = 0; i < 8; ++i) input += line_a(i) + "\r\n" + (i == 3 ? "\r\n" : "");
  const auto layout = ndjson::preprocess(span_of(input));
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(counts_of(layout->metadata).residual, 1u);  // the lone CR
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
}

TEST(NdjsonGrouped, InputBeginningWithABlankLineStaysDeclined) {
  std::vector<std::string> rows;
  for (int i = 0; i < 12; ++i) rows.push_back(i % 2 ? line_a(i) : line_b(i));
  const std::string input = join(rows, true);
  ASSERT_TRUE(ndjson::preprocess(span_of(input)).has_value());
  EXPECT_FALSE(ndjson::preprocess(span_of("\n" + input)).has_value());
}

TEST(NdjsonDiscriminator, ShortColumnWithFewDistinctValues) {
  // `lines` lines {"k":<a>,"id":<i>,"t":<b>} with a(i), b(i) as given.
  const auto lines_of = [](int lines, auto a, auto b) {
    std::vector<std::string> out;
    for (int i = 0; i < lines; ++i) {
      std::string line = "{\"k\":\"";
      line += a(i);
      line += "\",\"id\":";
      line += std::to_string(i);
      line += ",\"t\":\"";
      line += b(i);
      line += "\"}";
      out.push_back(line);
    }
    return join(out, true);
  };
  const auto tag = [](int v) {
    std::string out = "v";
    out += std::to_string(v);
    return out;
  };
  const auto mod = [tag](int m) { return [m, tag](int i) { return tag(i % m); }; };
  const auto same = [](int) { return std::string("same"); };
  const auto wide = [](int n) {  // n bytes with the quotes, two distinct values
    return [n](int i) { return std::string(static_cast<std::size_t>(n - 3), 'w') + std::to_string(i % 2); };
  };
  struct Case {
    const char* name;
    std::string input;
    std::optional<std::size_t> column;
  } cases[] = {
      {"9 of 30 distinct qualifies", lines_of(30, mod(9), same), 0},
      {"10 of 30 distinct does not", lines_of(30, mod(10), same), std::nullopt},
      {"one distinct value never qualifies", lines_of(30, same, same), std::nullopt},
      {"mean length 30 qualifies", lines_of(30, wide(30), same), 0},
      {"mean length 31 is skipped", lines_of(30, wide(31), same), std::nullopt},
      {"the fewest distinct values win", lines_of(30, mod(5), mod(3)), 2},
      {"the earlier column wins ties", lines_of(30, mod(3), mod(3)), 0},
      {"a sample of 9 lines is not searched", lines_of(9, mod(2), same), std::nullopt},
      // Only the first 200 lines are looked at: 4 distinct values there.
      {"the sample is the first 200 lines",
       lines_of(400, [tag](int i) { return tag(i % 4 + (i >= 200 ? i : 0)); }, same), 0},
  };
  for (const auto& c : cases) {
    const Lines lines(c.input);
    EXPECT_EQ(ndjson::find_discriminator_column(lines.table), c.column) << c.name;
  }
  // Columns that some sample line lacks are not candidates, and columns
  // are taken by position, whatever their key.
  const std::string short_line = lines_of(30, mod(9), mod(2)) + "{\"k\":\"v0\"}\n";
  EXPECT_EQ(ndjson::find_discriminator_column(Lines(short_line).table), 0u);
  const std::string other_key = lines_of(30, mod(9), mod(2)) + "{\"z\":\"v0\"}\n";
  EXPECT_EQ(ndjson::find_discriminator_column(Lines(other_key).table), 0u);
}

TEST(NdjsonDiscriminator, SecondPassIsTakenOnlyWhenStrictlySmaller) {
  // Two event types share one skeleton; one type's detail is an object
  // that flattens only in a group of its own.
  std::vector<std::string> rows;
  for (int i = 0; i < 60; ++i) {
    const bool geo = i % 3 == 0;
    std::string row = "{\"type\":\"";
    row += geo ? "geo" : "msg";
    row += "\",\"detail\":";
    row += geo ? "{\"latitude\":" + std::to_string(i) + ",\"longitude\":2}" : "\"text " + std::to_string(i) + "\"";
    row += ",\"n\":" + std::to_string(i) + "}";
    rows.push_back(row);
  }
  const std::string input = join(rows, true);
  const Lines lines(input);
  const auto plain = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
  const auto split = ndjson::preprocess_grouped_core(lines.table, true, 0, kNoLimit);
  ASSERT_TRUE(plain && split);
  ASSERT_LT(split->text.size() + split->metadata.size(), plain->text.size() + plain->metadata.size());
  // The route takes the smaller pass when it runs the search itself.
  auto chosen = ndjson::preprocess_grouped(lines.table, true, input.size() * 2);
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->metadata, split->metadata);
  EXPECT_EQ(counts_of(chosen->metadata).groups, 2);

  // The second pass runs with the first one's size as its limit, and a pass
  // that reaches its limit gives nothing: one exactly as long is not taken.
  EXPECT_FALSE(ndjson::preprocess_grouped_core(lines.table, true, 0,
                                               split->text.size() + split->metadata.size()));
}

TEST(NdjsonGrouped, AtMost65535Groups) {
  const auto shapes = [](int count) {
    std::string input;
    for (int s = 0; s < count; ++s) {
      for (int r = 0; r < 5; ++r) input += "{\"" + std::to_string(s) + "\":" + std::to_string(r) + "}\n";
    }
    return input;
  };
  for (const int count : {65535, 65536}) {
    const std::string input = shapes(count);
    const Lines lines(input);
    const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
    EXPECT_EQ(layout.has_value(), count == 65535) << count;
  }
}

// The nesting step runs in every group, with the checks it has on the main
// road: flattening that would not fit the byte form of the infos, or that
// would outgrow the column (keys x rows), is not kept.
TEST(NdjsonGrouped, NestingInsideGroupsKeepsItsBounds) {
  const std::string long_key(70000, 'k');
  // Fewer than 10 rows keep the long values columnar (Uniform); more than
  // 11 make keys x rows outgrow a column of one-key objects.
  struct Case {
    const char* name;
    int rows;
    std::string (*nested)(int, const std::string&);
    bool flattened;
  } cases[] = {
      {"objects alike", 20, [](int i, const std::string&) { return "{\"lat\":" + std::to_string(i) + ",\"lon\":2}"; }, true},
      {"a key longer than 65,535 bytes", 6,
       [](int i, const std::string& k) { return "{\"" + k + "\":" + std::to_string(i) + "}"; }, false},
      {"objects keyed by ids", 20, [](int i, const std::string&) { return "{\"" + std::to_string(1000 + i) + "\":1}"; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> rows;
    for (int i = 0; i < c.rows; ++i) {
      rows.push_back("{\"position\":" + c.nested(i, long_key) + ",\"name\":\"n" + std::to_string(i) + "\"}");
      rows.push_back(line_b(i));
    }
    const std::string input = join(rows, true);
    const Lines lines(input);
    const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
    ASSERT_TRUE(layout.has_value());
    // The first group's Uniform metadata follows its indices; its nested
    // block ends it.
    const std::size_t at = 8 + 4 + 4 * static_cast<std::size_t>(c.rows);
    const std::uint32_t m = kelvane::kvn::load_u32_le(layout->metadata.data() + at);
    const ByteSpan group(layout->metadata.data() + at + 4, m);
    ASSERT_EQ(group[0], 1);
    EXPECT_EQ(group.back() != 0x00, c.flattened);
    EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
  }
}

TEST(NdjsonGroupedReverse, MetadataOrTextThatDoesNotFitGivesTheTextBack) {
  const std::string input = join(kMixed, true);
  const Lines lines(input);
  const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
  ASSERT_TRUE(layout.has_value());
  const Bytes& text = layout->text;
  const Bytes& good = layout->metadata;
  const std::size_t group_at = 8 + 4 + 5 * 4 + 4;  // the group's own metadata
  const std::size_t residual_at = good.size() - 12;
  const auto patched = [&](std::size_t offset, std::uint8_t value) {
    Bytes m = good;
    m[offset] = value;
    return m;
  };
  Bytes selective = Bytes(good.begin(), good.begin() + group_at - 4);
  {
    // The group as a Selective layout stating 4 rows for its 5 indices.
    Bytes g = {3, 4, 0, 0, 0, 2, 0, 0, 2, 0, 0, 0, 1, 0, 3, 0};
    append(g, std::string("\x05\0{\"a\":", 7) + std::string("\x05\0,\"b\":", 7) + std::string("\x01\0}", 3));
    const Bytes length = {static_cast<std::uint8_t>(g.size()), 0, 0, 0};
    selective.erase(selective.end() - 4, selective.end());
    selective.insert(selective.end(), length.begin(), length.end());
    selective.insert(selective.end(), g.begin(), g.end());
    selective.insert(selective.end(), good.begin() + static_cast<std::ptrdiff_t>(residual_at), good.end());
  }
  Bytes trailing_text = text;
  append(trailing_text, "\nextra");
  struct Case {
    const char* what;
    Bytes text;
    Bytes metadata;
  } cases[] = {
      {"line count beyond what the metadata can name", text, patched(2, 200)},
      {"group count one too many", text, patched(6, 2)},
      {"group indices cut", text, Bytes(good.begin(), good.begin() + 20)},
      {"group text length past the end", Bytes(text.begin(), text.end() - 17), good},
      {"group yields fewer lines than its indices", text, patched(group_at + 1, 4)},
      {"selective group stating another row count", text, selective},
      {"residual text of three parts for two rows", trailing_text, good},
      {"a line left without content", text, patched(residual_at + 8, 9)},
      {"residual indices cut", text, Bytes(good.begin(), good.end() - 1)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ndjson::reverse(c.text, c.metadata, kNoLimit), c.text) << c.what;
  }

  // Without residual rows, bytes after the last group's text are ignored.
  std::vector<std::string> rows(kMixed.begin(), kMixed.end());
  rows.erase(rows.begin() + 3);
  rows.erase(rows.begin() + 1);
  const std::string grouped_only = join(rows, false);
  const Lines only(grouped_only);
  auto no_residual = ndjson::preprocess_grouped_core(only.table, false, std::nullopt, kNoLimit);
  ASSERT_TRUE(no_residual.has_value());
  append(no_residual->text, "ignored");
  EXPECT_EQ(ndjson::reverse(no_residual->text, no_residual->metadata, kNoLimit), bytes_of(grouped_only));
}

TEST(NdjsonGroupedReverse, EachGroupStaysWithinWhatIsLeftOfTheBudget) {
  const std::string input = join(kMixed, true);
  const Lines lines(input);
  const auto layout = ndjson::preprocess_grouped_core(lines.table, true, std::nullopt, kNoLimit);
  ASSERT_TRUE(layout.has_value());
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size()), bytes_of(input));
  EXPECT_EQ(ndjson::reverse(layout->text, layout->metadata, input.size() - 1), layout->text);

  // One group naming one line, whose Uniform metadata states a million rows
  // with a 65,535-byte piece each (about 64 GiB): refused before anything
  // is reserved, so the group's text stands for its lines.
  Bytes group = {1};
  kelvane::kvn::append_u32_le(group, (1u << 20) + 1);
  group.insert(group.end(), {1, 0, 0, 2, 0, 0xFF, 0xFF});
  group.insert(group.end(), 0xFFFF, 'k');
  group.insert(group.end(), {0, 0, 0});
  Bytes metadata = {2, 1, 1, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  kelvane::kvn::append_u32_le(metadata, static_cast<std::uint32_t>(group.size()));
  metadata.insert(metadata.end(), group.begin(), group.end());
  metadata.insert(metadata.end(), {0, 0, 0, 0});
  Bytes text;
  kelvane::kvn::append_u32_le(text, 1u << 20);
  text.insert(text.end(), 1u << 20, ndjson::VALUE_SEPARATOR);
  Bytes line(text.begin() + 4, text.end());
  line.push_back('\n');
  EXPECT_EQ(ndjson::reverse(text, metadata, 4u << 20), line);
}

// A group that cannot be rebuilt gives the text its lines were to come
// from, cut at LF into the slots its indices name, and the other groups go
// on. Selective metadata that does not read still gives the whole text.
TEST(NdjsonGroupedReverse, GroupThatCannotBeRebuiltGivesItsTextCutIntoLines) {
  const Bytes no_pieces = {1, 1, 0, 0, 0, 1, 0, 0, 0, 0};
  Bytes selective = {3, 2, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 2, 0, 1, 0, '{', 1, 0, '}'};
  // One nested column of key x over a flat text of one row, stated as two
  // columns: the unflattened {"x":1} cannot be rebuilt.
  Bytes nested = {1, 1, 0, 0, 0, 2, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0};
  nested.insert(nested.end(), {2, 1, 0, 0, 1, 0, 1, 0, 'x', 2, 0, 5, 0});
  append(nested, "{\"x\":");
  nested.insert(nested.end(), {1, 0, '}'});
  struct Case {
    const char* what;
    std::uint32_t lines;
    bool trailing_newline;
    std::vector<HandGroup> groups;
    std::optional<std::string> expected;  // none: the whole text
  } cases[] = {
      {"piece count 0", 1, false, {{{0}, no_pieces, "abc"}}, "abc"},
      {"piece count 0, final LF", 1, true, {{{0}, no_pieces, "abc"}}, "abc\n"},
      {"a copy of two parts beside a group that rebuilds", 3, true,
       {{{0, 2}, no_pieces, "x\ny"}, {{1}, uniform_of(1, "{\"k\":", "}"), "5"}}, "x\n{\"k\":5}\ny\n"},
      {"Selective metadata that reads, a text that does not fit it", 2, false,
       {{{0, 1}, selective, "ab\ncd"}}, "ab\ncd"},
      {"the unflattened text", 1, false, {{{0}, nested, "1"}}, "{\"x\":1}"},
      {"Selective metadata that does not read", 1, false, {{{0}, {3, 1, 0}, "abc"}}, std::nullopt},
  };
  for (const auto& c : cases) {
    const ndjson::Layout layout = grouped_by_hand(c.lines, c.trailing_newline, c.groups);
    const Bytes expected = c.expected ? bytes_of(*c.expected) : layout.text;
    EXPECT_EQ(ndjson::reverse(layout.text, layout.metadata, kNoLimit), expected) << c.what;
  }
}

// A slot that a later group names again keeps the later part, and only what
// the slots finally hold counts against the budget. The rebuilds together
// may write twice the budget: a group that no longer fits gives its text,
// and when not even that fits, the whole text comes back.
TEST(NdjsonGroupedReverse, LaterGroupKeepsTheSlotWithinTwiceTheBudget) {
  const auto line0 = [](const std::string& open, const std::string& value) {
    return HandGroup{{0}, uniform_of(1, open, "}"), value};
  };
  // The first line alone (9 bytes) is over the budget of 8; both lines
  // together take all of the 16.
  const ndjson::Layout twice = grouped_by_hand(1, true, {line0("{\"k\":", "aaa"), line0("{\"k\":", "1")});
  EXPECT_EQ(ndjson::reverse(twice.text, twice.metadata, 8), bytes_of("{\"k\":1}\n"));

  // Budget 100: the first line takes 150 of the 200, the second would take
  // 60 (a 14-byte piece, its value and a brace).
  const std::string long_key = "{\"kkkkkkkkk\":";
  const ndjson::Layout copied =
      grouped_by_hand(1, true, {line0("{\"k\":", std::string(144, 'a')), line0(long_key, std::string(45, 'b'))});
  EXPECT_EQ(ndjson::reverse(copied.text, copied.metadata, 100), bytes_of(std::string(45, 'b') + "\n"));
  const ndjson::Layout spent =
      grouped_by_hand(1, true, {line0("{\"k\":", std::string(144, 'a')), line0(long_key, std::string(51, 'b'))});
  EXPECT_EQ(ndjson::reverse(spent.text, spent.metadata, 100), spent.text);
}

}  // namespace
