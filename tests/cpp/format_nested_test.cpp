// Nested-object flattening: the object parsers, flatten/unflatten, and the
// byte form of the info list with its cut and forged forms.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "columnar_text.hpp"
#include "format/ndjson/nested.hpp"

namespace {

using namespace kelvane::format::ndjson;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string S(ByteSpan s) { return std::string(s.begin(), s.end()); }

using test_support::columnar;

std::uint16_t column_count(const Bytes& text) {
  std::size_t zeros = 0;
  for (const auto b : text) zeros += b == 0x00;
  return static_cast<std::uint16_t>(zeros + 1);
}

constexpr std::uint64_t kNoBudgetLimit = ~std::uint64_t{0};

// Stored infos copied out of their views, to compare with infos in hand.
std::vector<NestedGroupInfo> owned(const StoredNestedInfos& stored) {
  const auto copy = [](ByteSpan s) { return Bytes(s.begin(), s.end()); };
  std::vector<NestedGroupInfo> out;
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const StoredNestedInfo info = stored[i];
    NestedGroupInfo& o = out.emplace_back();
    for (std::size_t j = 0; j < info.key_count(); ++j) o.keys.push_back(copy(info.key(j)));
    for (std::size_t j = 0; j < info.piece_count(); ++j)
      o.template_pieces.push_back(copy(info.piece(j)));
    o.absent_bitmap = copy(info.absent_bitmap());
    o.column = info.column();
  }
  return out;
}

TEST(NestedObjectParsers, AcceptAndSplitExactly) {
  struct Case {
    const char* text;
    bool parses;
    std::vector<std::pair<std::string, std::string>> members;
    std::vector<std::string> pieces;
  };
  const std::vector<Case> cases = {
      {R"({"a":1})", true, {{"a", "1"}}, {R"({"a":)", "}"}},
      {R"( { "a" : "x" , "b":[1,{"c":"}"}] } tail)",
       true,
       {{"a", R"("x")"}, {"b", R"([1,{"c":"}"}])"}},
       {R"( { "a" : )", R"( , "b":)", " } tail"}},
      {R"({"a":1,})", true, {{"a", "1"}}, {R"({"a":)", ",}"}},
      {R"({"a\"b":{"x":1}})", true, {{R"(a\"b)", R"({"x":1})"}}, {R"({"a\"b":)", "}"}},
      {R"({"a":1,"a":2})", true, {{"a", "1"}, {"a", "2"}}, {R"({"a":)", R"(,"a":)", "}"}},
      {"{}", false, {}, {}},
      {"{ }", false, {}, {}},
      {"{a:1}", false, {}, {}},
      {R"({"a":1)", false, {}, {}},
      {R"({"a":1,)", false, {}, {}},
      {R"({"a"})", false, {}, {}},
      {R"({"a":})", false, {}, {}},
      {R"({"a":1 2})", false, {}, {}},
      {R"({"a)", false, {}, {}},
      {"{", false, {}, {}},
      {"  ", false, {}, {}},
      {"", false, {}, {}},
      {"null", false, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Bytes text = B(c.text);
    const auto kv = parse_nested_object_kv(text);
    const auto with_template = parse_nested_object_with_template(text);
    ASSERT_EQ(kv.has_value(), c.parses);
    ASSERT_EQ(with_template.has_value(), c.parses);
    if (!c.parses) continue;
    ASSERT_EQ(kv->size(), c.members.size());
    for (std::size_t i = 0; i < c.members.size(); ++i) {
      EXPECT_EQ(S((*kv)[i].key), c.members[i].first);
      EXPECT_EQ(S((*kv)[i].value), c.members[i].second);
      EXPECT_EQ(S(with_template->members[i].value), c.members[i].second);
    }
    ASSERT_EQ(with_template->pieces.size(), c.pieces.size());
    for (std::size_t i = 0; i < c.pieces.size(); ++i)
      EXPECT_EQ(S(with_template->pieces[i]), c.pieces[i]);
  }
}

TEST(FlattenNestedColumns, WorkedExampleFlattensAndRoundTrips) {
  const Bytes text = columnar({{"1", "2", "3"}, {R"({"a":1})", "null", R"({"a":2})"}});
  const auto flat = flatten_nested_columns(text, 3);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->text, columnar({{"1", "2", "3"}, {"1", "null", "2"}}));
  ASSERT_EQ(flat->infos.size(), 1u);
  const NestedGroupInfo& info = flat->infos[0];
  EXPECT_EQ(info.keys, std::vector<Bytes>{B("a")});
  EXPECT_EQ(info.template_pieces, (std::vector<Bytes>{B(R"({"a":)"), B("}")}));
  EXPECT_TRUE(info.absent_bitmap.empty());
  EXPECT_EQ(info.column, 1);
  EXPECT_EQ(serialize_nested_info(flat->infos)[0], 2);
  EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, 3, 2, kNoBudgetLimit), text);
}

// What flattening and unflattening give for columns of objects: which
// columns are flattened, their keys and bitmap, and what comes back.
TEST(FlattenNestedColumns, KeysBitmapsAndWhatComesBack) {
  struct Case {
    const char* name;
    std::vector<std::string> column;
    std::vector<std::string> keys;
    Bytes bitmap;
    std::vector<std::string> back;  // the column as unflattening rebuilds it
  };
  const std::vector<Case> cases = {
      {"same keys, spacing and null rows",
       {R"({ "x" : 1, "y":"s" })", "null", R"({ "x" : 2, "y":"t" })"},
       {"x", "y"},
       {},
       {R"({ "x" : 1, "y":"s" })", "null", R"({ "x" : 2, "y":"t" })"}},
      {"trailing comma travels in the template",
       {R"({"a":1,})", R"({"a":[2,3],})"},
       {"a"},
       {},
       {R"({"a":1,})", R"({"a":[2,3],})"}},
      {"other key order comes back in the template's order",
       {R"({"a":1,"b":2})", R"({"b":3,"a":4})"},
       {"a", "b"},
       {},
       {R"({"a":1,"b":2})", R"({"a":4,"b":3})"}},
      {"missing key: compact form",
       {R"({"a":1})", R"({"a":2,"b":3})"},
       {"a", "b"},
       {0x04},
       {R"({"a":1})", R"({"a":2,"b":3})"}},
      {"repeated key: compact form with its first value",
       {R"({"a":1,"a":2})", R"({"a":3,"a":4})"},
       {"a"},
       {},
       {R"({"a":1})", R"({"a":3})"}},
      {"object of nulls comes back as null",
       {R"({"a":1})", R"({"a":null})"},
       {"a"},
       {},
       {R"({"a":1})", "null"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto rows = static_cast<std::uint32_t>(c.column.size());
    std::vector<std::string> ids;
    for (std::uint32_t r = 0; r < rows; ++r) ids.push_back(std::to_string(r));
    const Bytes text = columnar({ids, c.column});
    const auto flat = flatten_nested_columns(text, rows);
    ASSERT_TRUE(flat);
    ASSERT_EQ(flat->infos.size(), 1u);
    std::vector<Bytes> keys;
    for (const auto& k : c.keys) keys.push_back(B(k));
    EXPECT_EQ(flat->infos[0].keys, keys);
    EXPECT_EQ(flat->infos[0].absent_bitmap, c.bitmap);
    EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, rows, column_count(flat->text),
                                       kNoBudgetLimit),
              columnar({ids, c.back}));
  }
}

TEST(FlattenNestedColumns, DeclinesWhenNoColumnQualifies) {
  struct Case {
    const char* name;
    Bytes text;
    std::uint32_t rows;
  };
  const std::vector<Case> cases = {
      {"rows 0", columnar({{R"({"a":1})"}}), 0},
      {"value count differs from rows", columnar({{R"({"a":1})", R"({"a":2})"}}), 3},
      {"only null", columnar({{"null", "null"}}), 2},
      {"an array value", columnar({{R"({"a":1})", "[1]"}}), 2},
      {"a string value", columnar({{R"({"a":1})", R"("x")"}}), 2},
      {"an empty object", columnar({{R"({"a":1})", "{}"}}), 2},
      {"an unparsable object", columnar({{R"({"a":1})", "{a:1}"}}), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(flatten_nested_columns(c.text, c.rows));
  }
}

// Objects keyed by ids give one key per row: flattening them would write
// keys x rows sub-values. Such a column stays as it is; a dense column
// beside it is still flattened.
TEST(FlattenNestedColumns, LeavesSparseKeyedColumnsUnflattened) {
  constexpr std::uint32_t kRows = 2000;
  std::vector<std::string> sparse;
  std::vector<std::string> dense;
  for (std::uint32_t r = 0; r < kRows; ++r) {
    sparse.push_back("{\"id" + std::to_string(r) + "\":1}");
    dense.push_back("{\"x\":" + std::to_string(r) + "}");
  }
  EXPECT_FALSE(flatten_nested_columns(columnar({sparse}), kRows));
  const auto flat = flatten_nested_columns(columnar({sparse, dense}), kRows);
  ASSERT_TRUE(flat);
  ASSERT_EQ(flat->infos.size(), 1u);
  EXPECT_EQ(flat->infos[0].column, 1);
  EXPECT_LT(flat->text.size(), columnar({sparse, dense}).size());
}

// Flattening never returns infos whose byte form would reduce a count or a
// length: a key too long for it keeps its column, and beyond 255 nested
// columns the rest stay as they are.
TEST(FlattenNestedColumns, ReturnsOnlyInfosThatFitTheirByteForm) {
  const std::string long_key(70000, 'k');
  const auto long_key_text = columnar({{"{\"" + long_key + "\":1}"}});
  EXPECT_FALSE(flatten_nested_columns(long_key_text, 1));

  std::vector<std::vector<std::string>> columns(
      300, std::vector<std::string>{R"({"a":1})", R"({"a":2})"});
  const Bytes text = columnar(columns);
  const auto flat = flatten_nested_columns(text, 2);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->infos.size(), kMaxNestedInfos);
  EXPECT_TRUE(nested_infos_fit_byte_form(flat->infos));
  const Bytes stored = serialize_nested_info(flat->infos);
  const auto read = deserialize_nested_info(stored);
  ASSERT_TRUE(read);
  EXPECT_EQ(owned(read->infos), flat->infos);
  EXPECT_EQ(unflatten_nested_columns(flat->text, read->infos, 2, column_count(flat->text),
                                     kNoBudgetLimit),
            text);
}

// Tests build what a writer without the growth bound stores: the column of
// objects keyed by ids is flattened into one sub-column per id, the flat
// text far longer than the text, and unflattening gives the text back.
TEST(FlattenNestedColumns, LiftedGrowthBoundFlattensIdKeyedColumns) {
  constexpr std::uint32_t kRows = 100;
  std::vector<std::string> ids;
  std::vector<std::string> objects;
  for (std::uint32_t r = 0; r < kRows; ++r) {
    ids.push_back(std::to_string(r));
    objects.push_back("{\"k" + std::to_string(r) + "\":1}");
  }
  const Bytes text = columnar({ids, objects});
  EXPECT_FALSE(flatten_nested_columns(text, kRows));
  const auto flat = flatten_nested_columns(text, kRows, {.bound_growth = false});
  ASSERT_TRUE(flat);
  ASSERT_EQ(flat->infos.size(), 1u);
  EXPECT_EQ(flat->infos[0].column, 1);
  EXPECT_EQ(flat->infos[0].keys.size(), kRows);
  EXPECT_EQ(column_count(flat->text), kRows + 1);
  EXPECT_GT(flat->text.size(), 20 * text.size());
  EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, kRows, column_count(flat->text),
                                     kNoBudgetLimit),
            text);
}

TEST(NestedInfoByteForm, FitCheckRejectsEveryWidthExceeded) {
  const NestedGroupInfo fine{{B("a")}, {B("{\"a\":"), B("}")}, {}, 3};
  struct Case {
    const char* name;
    std::vector<NestedGroupInfo> infos;
    bool fits;
  };
  NestedGroupInfo many_keys = fine;
  many_keys.keys.assign(65536, B("k"));
  NestedGroupInfo long_key = fine;
  long_key.keys[0] = Bytes(65536, 'k');
  NestedGroupInfo many_pieces = fine;
  many_pieces.template_pieces.assign(65536, B(","));
  NestedGroupInfo long_piece = fine;
  long_piece.template_pieces[1] = Bytes(65536, ' ');
  NestedGroupInfo widest = fine;
  widest.keys.assign(65535, Bytes(1, 'k'));
  widest.keys[0] = Bytes(65535, 'k');
  const std::vector<Case> cases = {
      {"one info", {fine}, true},
      {"255 infos", std::vector<NestedGroupInfo>(255, fine), true},
      {"256 infos", std::vector<NestedGroupInfo>(256, fine), false},
      {"65,536 keys", {many_keys}, false},
      {"a key of 65,536 bytes", {long_key}, false},
      {"65,536 pieces", {many_pieces}, false},
      {"a piece of 65,536 bytes", {long_piece}, false},
      {"every width at its limit", {widest}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(nested_infos_fit_byte_form(c.infos), c.fits);
  }
}

TEST(NestedInfoByteForm, SerializesAtTheLevelItNeedsAndReadsBack) {
  const NestedGroupInfo keys_only{{B("a"), B("bc")}, {}, {}, 7};
  const NestedGroupInfo with_template{{B("a")}, {B("{\"a\":"), B("}")}, {}, 1};
  const NestedGroupInfo with_bitmap{{B("a"), B("b")}, {B("{\"a\":"), B("}")}, {0x04}, 2};
  struct Case {
    std::vector<NestedGroupInfo> infos;
    std::uint8_t level;
    Bytes expected;  // empty: not compared byte for byte
  };
  const std::vector<Case> cases = {
      {{}, 1, {0x01, 0x00}},
      {{keys_only}, 1, {0x01, 0x01, 0x07, 0x00, 0x02, 0x00, 0x01, 0x00, 'a', 0x02, 0x00, 'b', 'c'}},
      {{with_template}, 2, {0x02, 0x01, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 'a',  0x02, 0x00,
                            0x05, 0x00, '{',  '"',  'a',  '"',  ':',  0x01, 0x00, '}'}},
      {{keys_only, with_template}, 2, {}},
      // Level 3 writes a bitmap length for every info, 0 where it is empty.
      {{with_template, with_bitmap},
       3,
       {0x03, 0x02, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 'a',  0x02, 0x00, 0x05, 0x00,
        '{',  '"',  'a',  '"',  ':',  0x01, 0x00, '}',  0x00, 0x00, 0x00, 0x00, 0x02,
        0x00, 0x02, 0x00, 0x01, 0x00, 'a',  0x01, 0x00, 'b',  0x02, 0x00, 0x05, 0x00,
        '{',  '"',  'a',  '"',  ':',  0x01, 0x00, '}',  0x01, 0x00, 0x00, 0x00, 0x04}},
  };
  for (const Case& c : cases) {
    const Bytes bytes = serialize_nested_info(c.infos);
    EXPECT_EQ(bytes[0], c.level);
    if (!c.expected.empty()) {
      EXPECT_EQ(bytes, c.expected);
    }
    Bytes with_tail = bytes;
    with_tail.push_back(0xEE);  // bytes after the list are not examined
    const auto read = deserialize_nested_info(with_tail);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->bytes_used, bytes.size());
    if (c.level == 1) {
      const auto infos = owned(read->infos);
      ASSERT_EQ(infos.size(), c.infos.size());
      for (std::size_t i = 0; i < c.infos.size(); ++i) EXPECT_EQ(infos[i].keys, c.infos[i].keys);
    } else {
      EXPECT_EQ(owned(read->infos), c.infos);
    }
  }
}

TEST(NestedInfoByteForm, CutAndForgedFormsGiveNothing) {
  const NestedGroupInfo info{
      {B("a"), B("b")}, {B("{\"a\":"), B(",\"b\":"), B("}")}, {0x01, 0x02}, 2};
  const Bytes bytes = serialize_nested_info(std::vector<NestedGroupInfo>{info, info});
  for (std::size_t len = 0; len < bytes.size(); ++len) {
    SCOPED_TRACE(len);
    EXPECT_FALSE(deserialize_nested_info(ByteSpan(bytes).first(len)));
  }
  struct Case {
    const char* name;
    Bytes bytes;
  };
  const std::vector<Case> cases = {
      {"level 0", {0x00, 0x01}},
      {"level 4", {0x04, 0x00}},
      {"one byte", {0x01}},
      {"key count beyond the bytes", {0x01, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}},
      {"bitmap length beyond the bytes",
       {0x03, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
      {"info count beyond the bytes", {0x01, 0xFF, 0x00, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(deserialize_nested_info(c.bytes));
  }
  const Bytes no_infos = {0x01, 0x00};
  const auto empty = deserialize_nested_info(no_infos);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->infos.empty());
  EXPECT_EQ(empty->bytes_used, 2u);
}

TEST(UnflattenNestedColumns, ArgumentsThatDoNotFitGiveTheFlatTextBack) {
  const Bytes text = columnar({{"1", "2"}, {R"({"a":1,"b":2})", R"({"a":3,"b":4})"}});
  const auto flat = flatten_nested_columns(text, 2);
  ASSERT_TRUE(flat);
  NestedGroupInfo too_many_keys = flat->infos[0];
  too_many_keys.keys.assign(5, B("k"));
  struct Case {
    const char* name;
    std::vector<NestedGroupInfo> infos;
    std::uint32_t rows;
    std::uint16_t columns;
  };
  const std::vector<Case> cases = {
      {"columns one too few", flat->infos, 2, 2},
      {"columns one too many", flat->infos, 2, 4},
      {"rows one too few", flat->infos, 1, 3},
      {"rows one too many", flat->infos, 3, 3},
      {"keys beyond the flat columns", {too_many_keys}, 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(unflatten_nested_columns(flat->text, c.infos, c.rows, c.columns, kNoBudgetLimit),
              flat->text);
  }
  EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, 2, 3, kNoBudgetLimit), text);
}

// A forged info with long template pieces over many rows would rebuild to
// gigabytes; the budget bounds what the step may produce.
TEST(UnflattenNestedColumns, OutputBeyondTheBudgetGivesTheFlatTextBack) {
  const Bytes text = columnar({{R"({"a":1})", R"({"a":22})"}});
  const auto flat = flatten_nested_columns(text, 2);
  ASSERT_TRUE(flat);
  EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, 2, 1, text.size()), text);
  EXPECT_EQ(unflatten_nested_columns(flat->text, flat->infos, 2, 1, text.size() - 1), flat->text);

  constexpr std::uint32_t kRows = 200000;
  std::vector<std::string> ones(kRows, "1");
  const Bytes forged_flat = columnar({ones});
  const NestedGroupInfo forged{{B("a")}, {Bytes(65535, ' '), Bytes(65535, ' ')}, {}, 0};
  const std::vector<NestedGroupInfo> infos{forged};
  EXPECT_EQ(unflatten_nested_columns(forged_flat, infos, kRows, 1, std::uint64_t{64} << 20),
            forged_flat);
}

}  // namespace
