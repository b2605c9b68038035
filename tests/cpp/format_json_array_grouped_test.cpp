// The JSON array Grouped layout: its byte form, which elements form groups,
// the per-group nesting with missing keys marked in the text, the limits it
// declines at, and a reverse that gives the text back on anything it
// cannot use.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "format/json_array/json_array.hpp"

namespace {

using namespace kelvane::format::json_array;
namespace ndjson = kelvane::format::ndjson;
using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;

constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};

Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
void append(Bytes& out, std::string_view s) { out.insert(out.end(), s.begin(), s.end()); }

std::string array_of(const std::vector<std::string>& elements, const std::string& sep = ",") {
  std::string out = "[";
  for (std::size_t i = 0; i < elements.size(); ++i) out += (i ? sep : "") + elements[i];
  return out + "]";
}

// The Grouped layout of `doc` with no size test.
std::optional<Layout> grouped(const Bytes& doc) {
  const auto span = find_array(doc);
  if (!span) return std::nullopt;
  return build_grouped(doc, *span, kNoLimit);
}

// What the metadata says of each group, and the residual elements.
struct GroupView {
  std::vector<std::uint32_t> members;
  std::optional<Bytes> nested_block;
  Bytes text;
};
struct LayoutView {
  std::vector<GroupView> groups;
  std::vector<std::uint32_t> residual;
  Bytes residual_text;
};
LayoutView view_of(const Layout& layout) {
  kelvane::kvn::ByteReader r(layout.metadata);
  kelvane::kvn::ByteReader t(layout.text);
  std::uint8_t byte = 0;
  std::uint32_t length = 0;
  std::uint16_t short_length = 0;
  EXPECT_TRUE(r.read_u8(byte) && byte == 2);
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(r.read_u32(length) && r.skip(length));  // prefix, suffix
  EXPECT_TRUE(r.read_u16(short_length) && r.skip(short_length) && r.read_u8(byte));
  if (byte != 1) {
    std::uint32_t count = 0;
    EXPECT_TRUE(r.read_u32(count));
    for (std::uint32_t i = 0; i < count; ++i) EXPECT_TRUE(r.read_u16(short_length) && r.skip(short_length));
  }
  LayoutView view;
  EXPECT_TRUE(r.read_u16(short_length));
  for (std::uint16_t g = 0; g < short_length; ++g) {
    GroupView group;
    std::uint32_t k = 0, index = 0;
    EXPECT_TRUE(r.read_u32(k));
    for (std::uint32_t i = 0; i < k; ++i) {
      EXPECT_TRUE(r.read_u32(index));
      group.members.push_back(index);
    }
    EXPECT_TRUE(r.read_u32(length) && r.skip(length) && r.read_u8(byte));
    ByteSpan bytes;
    if (byte == 1) {
      EXPECT_TRUE(r.read_u32(length) && r.read_bytes(length, bytes));
      group.nested_block = Bytes(bytes.begin(), bytes.end());
    }
    EXPECT_TRUE(t.read_u32(length) && t.read_bytes(length, bytes));
    group.text.assign(bytes.begin(), bytes.end());
    view.groups.push_back(std::move(group));
  }
  std::uint32_t residual = 0, index = 0;
  EXPECT_TRUE(r.read_u32(residual));
  for (std::uint32_t i = 0; i < residual; ++i) {
    EXPECT_TRUE(r.read_u32(index));
    view.residual.push_back(index);
  }
  view.residual_text.assign(t.rest().begin(), t.rest().end());
  return view;
}

TEST(JsonArrayGrouped, ByteForm) {
  const Bytes doc = B(R"([{"a":1},{"b":2},{"a":3},{"a":4},{}])");
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  Bytes group_metadata = {1, 3, 0, 0, 0, 1, 0, 2, 0, 5, 0};
  append(group_metadata, R"({"a":)");
  group_metadata.insert(group_metadata.end(), {1, 0, '}'});
  Bytes metadata = {2, 1, 0, 0, 0, '[', 1, 0, 0, 0, ']', 1, 0, ',', 1, 1, 0,
                    3, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0,
                    static_cast<std::uint8_t>(group_metadata.size()), 0, 0, 0};
  metadata.insert(metadata.end(), group_metadata.begin(), group_metadata.end());
  metadata.insert(metadata.end(), {0, 2, 0, 0, 0, 1, 0, 0, 0, 4, 0, 0, 0, 10, 0, 0, 0});
  EXPECT_EQ(layout->metadata, metadata);
  Bytes text = {5, 0, 0, 0, '1', 1, '3', 1, '4'};
  append(text, std::string_view("{\"b\":2}\0{}", 10));
  EXPECT_EQ(layout->text, text);
  EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);
  EXPECT_FALSE(preprocess(doc));  // not smaller than this short array
}

TEST(JsonArrayGrouped, WhichElementsFormGroups) {
  struct Case {
    const char* name;
    std::vector<std::string> elements;
    std::vector<std::vector<std::uint32_t>> groups;  // empty: declined
    std::vector<std::uint32_t> residual;
  } cases[] = {
      {"two shapes, alternating",
       {R"({"id":1,"x":1})", R"({"id":2,"y":"a"})", R"({"id":3,"x":2})", R"({"id":4,"y":"b"})",
        R"({"id":5,"x":3})", R"({"id":6,"y":"c"})"},
       {{0, 2, 4}, {1, 3, 5}},
       {}},
      {"five shapes", {R"({"a":1})", R"({"b":1})", R"({"c":1})", R"({"d":1})", R"({"e":1})"}, {}, {}},
      {"four of one shape and {}", {R"({"a":1})", R"({"a":2})", "{}", R"({"a":3})", R"({"a":4})"},
       {{0, 1, 3, 4}},
       {2}},
      {"four, two and one",
       {R"({"c":1})", R"({"a":1})", R"({"b":1})", R"({"a":2})", R"({"b":2})", R"({"a":3})", R"({"a":4})"},
       {{1, 3, 5, 6}},
       {0, 2, 4}},
      {"keys in another order form another shape",
       {R"({"a":1,"b":2})", R"({"b":1,"a":2})", R"({"a":3,"b":4})", R"({"b":3,"a":4})",
        R"({"a":5,"b":6})", R"({"b":5,"a":6})"},
       {{0, 2, 4}, {1, 3, 5}},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes doc = B(array_of(c.elements, ", "));
    const auto layout = grouped(doc);
    if (c.groups.empty()) {
      EXPECT_FALSE(layout);
      continue;
    }
    ASSERT_TRUE(layout);
    const LayoutView view = view_of(*layout);
    ASSERT_EQ(view.groups.size(), c.groups.size());
    for (std::size_t g = 0; g < c.groups.size(); ++g) EXPECT_EQ(view.groups[g].members, c.groups[g]);
    EXPECT_EQ(view.residual, c.residual);
    EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);
  }
  // The residual text is the residual elements as written, joined by 0x00.
  const auto layout = grouped(B(array_of(cases[3].elements)));
  ASSERT_TRUE(layout);
  EXPECT_EQ(view_of(*layout).residual_text, B(std::string_view("{\"c\":1}\0{\"b\":1}\0{\"b\":2}", 23)));
}

TEST(JsonArrayGrouped, NestingMarksMissingKeysInTheText) {
  // The group of three worked through in full: nested text of 17 bytes for
  // a plain text of 26, and a 37-byte nested block.
  const Bytes doc = B(array_of({R"({"p":{"a":1,"b":2}})", R"({"x":1})", R"({"p":{"a":3}})", R"({"y":2})",
                                R"({"p":null})"}));
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  const LayoutView view = view_of(*layout);
  ASSERT_EQ(view.groups.size(), 1u);
  EXPECT_EQ(view.groups[0].text, B(std::string_view("1\x01" "3\x01null\0" "2\x01\x02\x01null", 17)));
  Bytes block = {3, 0, 0, 0, 2, 0, 2, 1, 0, 0, 2, 0, 1, 0, 'a', 1, 0, 'b', 3, 0, 5, 0};
  append(block, R"({"a":)");
  block.insert(block.end(), {5, 0});
  append(block, R"(,"b":)");
  block.insert(block.end(), {1, 0, '}'});
  ASSERT_EQ(block.size(), 37u);
  EXPECT_EQ(view.groups[0].nested_block, block);
  EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);

  struct Case {
    const char* name;
    std::vector<std::string> nested;
    bool kept;
  } cases[] = {
      {"the first key missing", {R"({"a":1,"b":2})", R"({"b":5})", R"({"a":3})"}, true},
      {"spacing kept by the template", {R"({ "a": 1, "b": 2 })", R"({ "a": 3 })", R"({ "b": 4 })"}, true},
      {"every value null", {R"({"a":1,"b":2})", R"({"a":null,"b":null})", R"({"a":3,"b":4})"}, false},
      {"keys in another order", {R"({"a":1,"b":2})", R"({"b":3,"a":4})", R"({"a":5,"b":6})"}, false},
      {"not shorter", {R"({"a":1})", R"({"b":2})", R"({"c":3})", R"({"d":4})"}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> elements = {R"({"x":1})", R"({"y":2})"};
    for (const auto& n : c.nested) elements.push_back("{\"p\":" + n + "}");
    const Bytes d = B(array_of(elements));
    const auto l = grouped(d);
    ASSERT_TRUE(l);
    EXPECT_EQ(view_of(*l).groups.at(0).nested_block.has_value(), c.kept);
    EXPECT_EQ(reverse(l->text, l->metadata, d.size()), d);
  }
}

// The flattening of each group keeps the bounds it has on the main road.
TEST(JsonArrayGrouped, NestingInsideGroupsKeepsItsBounds) {
  const std::string long_key(70000, 'k');
  struct Case {
    const char* name;
    std::string (*nested)(int, const std::string&);
  } cases[] = {
      {"a key longer than 65,535 bytes",
       [](int i, const std::string& k) { return "{\"" + k + "\":" + std::to_string(i) + "}"; }},
      {"objects keyed by ids",
       [](int i, const std::string&) { return "{\"" + std::to_string(1000 + i) + "\":1}"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> elements;
    for (int i = 0; i < 20; ++i) elements.push_back("{\"p\":" + c.nested(i, long_key) + "}");
    const Bytes doc = B(array_of(elements) );
    const auto span = find_array(doc);
    ASSERT_TRUE(span);
    const auto layout = build_grouped(doc, *span, kNoLimit);
    ASSERT_TRUE(layout);
    EXPECT_FALSE(view_of(*layout).groups.at(0).nested_block.has_value());
    EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);
  }
}

// A group keeps its nesting only when the info of every column it flattens
// fits the byte form: one column too wide, or a 256th, and the whole group
// keeps its plain text. A column left as it is because flattening it would
// outgrow it is not too wide and leaves the others flattened.
TEST(JsonArrayGrouped, NestingKeepsEveryColumnOrNone) {
  const std::string long_key(70000, 'k');
  const std::string long_piece(70000, ' ');
  using Column = std::function<std::string(int)>;
  const Column pair = [](int) { return std::string(R"({"a":1,"b":2})"); };
  const Column wide_key = [&](int i) { return "{\"" + long_key + "\":" + std::to_string(i) + "}"; };
  const Column wide_piece = [&](int i) { return "{\"a\":" + long_piece + std::to_string(i) + "}"; };
  const Column by_id = [](int i) { return "{\"" + std::to_string(1000 + i) + "\":1}"; };
  struct Case {
    const char* name;
    int members;
    std::vector<Column> columns;
    std::size_t infos;  // 0: no nesting
    std::uint16_t w;
  } cases[] = {
      {"255 columns", 4, std::vector<Column>(255, pair), 255, 510},
      {"256 columns", 4, std::vector<Column>(256, pair), 0, 0},
      {"a key longer than 65,535 bytes", 4, {pair, wide_key}, 0, 0},
      {"a template piece longer than 65,535 bytes", 4, {pair, wide_piece}, 0, 0},
      {"objects keyed by ids", 20, {pair, by_id}, 1, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> elements;
    for (int i = 0; i < c.members; ++i) {
      std::string element;
      for (std::size_t j = 0; j < c.columns.size(); ++j) {
        element += (j ? ",\"c" : "{\"c") + std::to_string(j) + "\":" + c.columns[j](i);
      }
      elements.push_back(element + "}");
    }
    elements.push_back(R"({"x":1})");
    const Bytes doc = B(array_of(elements));
    const auto layout = grouped(doc);
    ASSERT_TRUE(layout);
    const LayoutView view = view_of(*layout);
    ASSERT_EQ(view.groups.size(), 1u);
    const auto& block = view.groups[0].nested_block;
    EXPECT_EQ(block.has_value(), c.infos != 0);
    if (block && c.infos != 0) {
      EXPECT_EQ(kelvane::kvn::load_u16_le(block->data() + 4), c.w);
      const auto infos = ndjson::deserialize_nested_info(ByteSpan(*block).subspan(6));
      ASSERT_TRUE(infos);
      EXPECT_EQ(infos->infos.size(), c.infos);
    }
    EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);
  }
}

TEST(JsonArrayGrouped, DeclinesWhatItCannotStore) {
  // More than 65,535 groups.
  std::string many = "[";
  for (int s = 0; s < 65536; ++s) {
    for (int r = 0; r < 3; ++r) many += (many.size() > 1 ? ",{\"" : "{\"") + std::to_string(s) + "\":1}";
  }
  many += "]";
  EXPECT_FALSE(grouped(B(many)));
  // A residual element holding 0x00.
  const std::string zero = array_of({R"({"a":1})", R"({"a":2})", R"({"a":3})", std::string("{\"b\":\"\0\"}", 9),
                                     R"({"c":1})"});
  EXPECT_FALSE(grouped(B(zero)));
}

TEST(JsonArrayGroupedUnflatten, RebuildsEachRowByItsMarkers) {
  ndjson::NestedGroupInfo info;
  info.keys = {B("a"), B("b")};
  info.template_pieces = {B(R"({ "a": )"), B(R"(, "b": )"), B(" }")};
  ndjson::NestedGroupInfo no_template = info;
  no_template.template_pieces.clear();
  // An info of no keys for a column beyond the text leaves the last flat
  // column one short of the first info's sub-columns.
  ndjson::NestedGroupInfo keyless;
  keyless.column = 5;
  const ndjson::NestedGroupInfo one_short[] = {info, keyless};
  struct Case {
    const char* name;
    std::span<const ndjson::NestedGroupInfo> infos;
    std::string nested;  // one row: sub-column a, 0x00, sub-column b
    std::uint16_t w;
    std::string plain;
  } cases[] = {
      {"all present", {&info, 1}, std::string("1\0" "2", 3), 2, R"({ "a": 1, "b": 2 })"},
      {"all null", {&info, 1}, std::string("null\0null", 9), 2, "null"},
      {"the last key missing", {&info, 1}, std::string("1\0\x02", 3), 2, R"({ "a": 1 })"},
      {"the first key missing", {&info, 1}, std::string("\x02\0" "2", 3), 2, R"({ "b": 2 })"},
      {"compact without a template", {&no_template, 1}, std::string("null\0\x02", 6), 2, "{}"},
      {"compact leaves out null members", {&no_template, 1}, std::string("1\0null", 6), 2, R"({"a":1})"},
      {"a sub-column missing at the end", one_short, "7", 1, R"({ "a": 7, "b":  })"},
  };
  for (const auto& c : cases) {
    const Bytes plain = unflatten_group_nested(B(c.nested), c.infos, 1, c.w, kNoLimit);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), c.plain) << c.name;
  }
  // A value count other than the member count gives the text back.
  EXPECT_EQ(unflatten_group_nested(B(std::string("1\0" "2", 3)), std::span(&info, 1), 2, 2, kNoLimit),
            B(std::string("1\0" "2", 3)));
}

TEST(JsonArrayGroupedReverse, MetadataOrTextThatDoesNotFitGivesTheTextBack) {
  const Bytes doc = B(array_of({R"({"p":{"a":1,"b":2}})", R"({"x":1})", R"({"p":{"a":3}})", R"({"y":2})",
                                R"({"p":null})"}));
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  const Bytes& text = layout->text;
  const Bytes& good = layout->metadata;
  // Offsets in this layout: the header is 1 + 5 + 5 + 3 + 1 bytes, then the
  // group count and the group's member count.
  const std::size_t members_at = 17;
  const std::size_t metadata_at = members_at + 4 + 12 + 4;
  const std::size_t flag_at = metadata_at + kelvane::kvn::load_u32_le(good.data() + metadata_at - 4);
  const auto patched = [&](std::size_t offset, std::uint8_t value) {
    Bytes m = good;
    m[offset] = value;
    return m;
  };
  Bytes short_block(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(flag_at) + 1);
  short_block.insert(short_block.end(), {5, 0, 0, 0, 3, 0, 0, 0, 2});
  Bytes one_residual_part = text;
  one_residual_part.resize(text.size() - 8);  // only {"x":1} is left
  struct Case {
    const char* what;
    Bytes text;
    Bytes metadata;
  } cases[] = {
      {"metadata shorter than 5 bytes", text, {2, 0, 0, 0}},
      {"group metadata stating another member count", text, patched(metadata_at + 1, 2)},
      {"group text length past the end", Bytes(text.begin(), text.begin() + 10), good},
      {"two residual elements, one part", one_residual_part, good},
      {"a nested block of 5 bytes", text, short_block},
      {"member indices cut", text, Bytes(good.begin(), good.begin() + 25)},
      {"separator mode 0 without its count", text, patched(14, 0)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(reverse(c.text, c.metadata, kNoLimit), c.text) << c.what;
  }
}

TEST(JsonArrayGroupedReverse, MissingSeparatorsAreLeftOut) {
  const Bytes doc = B(R"([{"a":1},{"a":2},{"a":3},{"a":4},{"a":5}])");
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  // Mode 0 with one listed separator for four gaps.
  Bytes metadata(layout->metadata.begin(), layout->metadata.begin() + 14);
  metadata.insert(metadata.end(), {0, 1, 0, 0, 0, 2, 0, ',', ' '});
  metadata.insert(metadata.end(), layout->metadata.begin() + 15, layout->metadata.end());
  EXPECT_EQ(reverse(layout->text, metadata, kNoLimit), B(R"([{"a":1}, {"a":2}{"a":3}{"a":4}{"a":5}])"));
}

// Elements go out in the order of their indices, whatever group they come
// from; equal indices keep their order in the metadata (groups first, in
// group order, then the residual elements), and none replaces another.
TEST(JsonArrayGroupedReverse, ElementsKeepTheOrderOfTheirIndices) {
  const std::vector<std::string> elements = {R"({"id":1,"x":1})", R"({"id":2,"y":"a"})",
                                             R"({"id":3,"x":2})", R"({"id":4,"y":"b"})",
                                             R"({"id":5,"x":3})", R"({"id":6,"y":"c"})",
                                             R"({"z":0})"};
  const Bytes doc = B(array_of(elements));
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  ASSERT_EQ(view_of(*layout).residual, std::vector<std::uint32_t>{6});
  // The y group (members 1, 3, 5) restated as members 4, 2, 0, and the
  // residual element as 2.
  Bytes metadata = layout->metadata;
  const std::size_t x_length_at = 17 + 4 + 12;
  const std::size_t y_members_at = x_length_at + 4 + kelvane::kvn::load_u32_le(metadata.data() + x_length_at) + 1;
  ASSERT_EQ(kelvane::kvn::load_u32_le(metadata.data() + y_members_at), 3u);
  for (std::uint8_t i = 0; i < 3; ++i) metadata[y_members_at + 4 + 4 * i] = static_cast<std::uint8_t>(4 - 2 * i);
  metadata[metadata.size() - 8] = 2;  // the one residual index, before the residual text length
  const std::vector<std::string> expected = {elements[0], elements[5], elements[2], elements[3],
                                             elements[6], elements[4], elements[1]};
  EXPECT_EQ(reverse(layout->text, metadata, kNoLimit), B(array_of(expected)));
}

TEST(JsonArrayGroupedReverse, EachGroupStaysWithinWhatIsLeftOfTheBudget) {
  const Bytes doc = B(array_of({R"({"p":{"a":1,"b":2}})", R"({"x":1})", R"({"p":{"a":3}})", R"({"y":2})",
                                R"({"p":null})"}));
  const auto layout = grouped(doc);
  ASSERT_TRUE(layout);
  EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size()), doc);
  EXPECT_EQ(reverse(layout->text, layout->metadata, doc.size() - 1), layout->text);

  // A group of a million members, each rebuilt with a 65,535-byte piece
  // (about 64 GiB): refused before anything is reserved.
  const std::uint32_t members = 1u << 20;
  Bytes metadata = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 1, 1, 0};
  kelvane::kvn::append_u32_le(metadata, members);
  for (std::uint32_t i = 0; i < members; ++i) kelvane::kvn::append_u32_le(metadata, i);
  Bytes group = {1};
  kelvane::kvn::append_u32_le(group, members);
  group.insert(group.end(), {1, 0, 2, 0, 0xFF, 0xFF});
  group.insert(group.end(), 0xFFFF, 'k');
  group.insert(group.end(), {0, 0});
  kelvane::kvn::append_u32_le(metadata, static_cast<std::uint32_t>(group.size()));
  metadata.insert(metadata.end(), group.begin(), group.end());
  metadata.insert(metadata.end(), {0, 0, 0, 0, 0, 0, 0, 0, 0});
  Bytes text;
  kelvane::kvn::append_u32_le(text, members - 1);
  text.insert(text.end(), members - 1, ndjson::VALUE_SEPARATOR);
  EXPECT_EQ(reverse(text, metadata, 64u << 20), text);
}

}  // namespace
