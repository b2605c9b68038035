// The forward Grouped layout of a JSON array. Elements are cut once into a
// row table and sorted into exact skeleton classes, numbered in the order of
// their first element, which is the order of the groups. Each group is
// written as its own small column-major layout, its object-valued columns
// flattened when that pays and comes back exactly.
//
// Grouped metadata: layout 2, the prefix and the suffix (u32 length and
// bytes each), the default separator (u16 length and bytes), the separator
// mode (1: every separator is the default; 0: a u32 count and each as u16
// length and bytes), the group count (u16), per group its member count
// (u32), member indices (u32 each), its metadata (u32 length and bytes) and
// a nested flag (1: a u32 length and the nested block follow), then the
// residual count (u32), the residual indices (u32 each) and the residual
// text's length (u32). Grouped text: per group a u32 length and its text,
// then the residual elements joined by 0x00.
#include <algorithm>
#include <cstring>
#include <limits>

#include "format/json_array/json_array.hpp"
#include "format/ndjson/row_table.hpp"
#include "format/scan.hpp"

namespace kelvane::format::json_array {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;
using ndjson::KeyClasses;

constexpr std::size_t kMinElements = 5;
constexpr std::size_t kMinGroupMembers = 3;
constexpr std::size_t kMaxGroups = 65535;
constexpr std::uint64_t kMaxField = std::numeric_limits<std::uint32_t>::max();

// One group's share of the layout.
struct GroupOutput {
  std::span<const std::uint32_t> members;  // element indices, ascending
  Bytes text;                              // nested text when nested_block is set
  Bytes metadata;
  std::optional<Bytes> nested_block;
};

bool bytes_equal(ByteSpan a, ByteSpan b) noexcept {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void append_u16_bytes(Bytes& out, ByteSpan bytes) {
  kvn::append_u16_le(out, static_cast<std::uint16_t>(bytes.size()));
  kvn::append_bytes(out, bytes);
}

void append_u32_bytes(Bytes& out, ByteSpan bytes) {
  kvn::append_u32_le(out, static_cast<std::uint32_t>(bytes.size()));
  kvn::append_bytes(out, bytes);
}

Bytes group_metadata(const ndjson::ObjectSkeleton& pieces, std::uint32_t members) {
  Bytes out;
  kvn::append_u8(out, static_cast<std::uint8_t>(ndjson::ColumnarLayout::Uniform));
  kvn::append_u32_le(out, members);
  kvn::append_u16_le(out, static_cast<std::uint16_t>(pieces.size() - 1));
  kvn::append_u16_le(out, static_cast<std::uint16_t>(pieces.size()));
  for (const ByteSpan piece : pieces) append_u16_bytes(out, piece);
  return out;
}

// Flattens the object-valued columns of a group's plain text, missing keys
// marked in the text. Kept only when the nested text is strictly shorter,
// rebuilds the plain text exactly and every flattened column's info fits its
// byte form (one column too wide, or more than 255 of them, and the group
// keeps its plain text); then `text` becomes the nested text and the nested
// block is returned.
std::optional<Bytes> nest_group(Bytes& text, std::uint32_t members) {
  const ndjson::FlattenOptions options{.absent = ndjson::AbsentKeys::Marker,
                                       .overflow = ndjson::WidthOverflow::Decline};
  auto flat = ndjson::flatten_nested_columns(text, members, options);
  if (!flat || flat->text.size() >= text.size() ||
      !ndjson::nested_infos_fit_byte_form(flat->infos)) {
    return std::nullopt;
  }
  const std::uint64_t w = count_byte(flat->text, ndjson::COLUMN_SEPARATOR) + 1;
  if (w > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  const Bytes back = unflatten_group_nested(flat->text, flat->infos, members,
                                            static_cast<std::uint16_t>(w), text.size());
  if (!bytes_equal(back, text)) return std::nullopt;
  Bytes block;
  kvn::append_u32_le(block, members);
  kvn::append_u16_le(block, static_cast<std::uint16_t>(w));
  kvn::append_bytes(block, ndjson::serialize_nested_info(flat->infos));
  text = std::move(flat->text);
  return block;
}

GroupOutput build_group(const ndjson::RowTable& table, std::span<const std::uint32_t> members) {
  const auto k = static_cast<std::uint32_t>(members.size());
  GroupOutput out{members, ndjson::build_columnar_text(table.columns(members), k),
                  group_metadata(table.skeleton(members[0]), k), std::nullopt};
  out.nested_block = nest_group(out.text, k);
  return out;
}

}  // namespace

std::optional<Layout> build_grouped(ByteSpan input, const ArraySpan& span,
                                    std::uint64_t size_limit) {
  const std::size_t n = span.element_count;
  if (n < kMinElements) return std::nullopt;
  std::vector<ByteSpan> elements;
  elements.reserve(n);
  for (const ElementSpan& e : span.elements) {
    elements.push_back(input.subspan(e.start, e.end - e.start));
  }
  const ndjson::RowTable table(input, elements, parse_element_into);
  const KeyClasses shapes = ndjson::shape_classes(table);

  const auto formed = ndjson::form_groups(shapes, kMinGroupMembers, kMaxGroups);
  if (!formed || formed->count() == 0) return std::nullopt;
  const std::size_t groups = formed->count();
  const std::vector<std::uint32_t>& residual = formed->residual;
  std::uint64_t residual_length = residual.empty() ? 0 : residual.size() - 1;
  for (const std::uint32_t i : residual) {
    if (std::memchr(elements[i].data(), 0x00, elements[i].size()) != nullptr) return std::nullopt;
    residual_length += elements[i].size();
  }

  // Everything the metadata holds before the groups.
  const ByteSpan prefix = input.first(span.elements.front().start);
  const ByteSpan suffix = input.subspan(span.elements.back().end);
  const ByteSpan default_separator = span.separators[0];
  const bool one_separator =
      std::all_of(span.separators.begin(), span.separators.end(),
                  [&](ByteSpan s) { return bytes_equal(s, default_separator); });
  Layout out;
  Bytes& meta = out.metadata;
  kvn::append_u8(meta, static_cast<std::uint8_t>(ndjson::ColumnarLayout::Grouped));
  append_u32_bytes(meta, prefix);
  append_u32_bytes(meta, suffix);
  append_u16_bytes(meta, default_separator);
  kvn::append_u8(meta, one_separator ? 1 : 0);
  if (!one_separator) {
    kvn::append_u32_le(meta, static_cast<std::uint32_t>(span.separators.size()));
    for (const ByteSpan separator : span.separators) append_u16_bytes(meta, separator);
  }
  kvn::append_u16_le(meta, static_cast<std::uint16_t>(groups));

  const auto reached_limit = [&] { return out.text.size() + meta.size() >= size_limit; };
  if (reached_limit()) return std::nullopt;
  out.text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size_limit, input.size())));
  for (std::size_t g = 0; g < groups; ++g) {
    const GroupOutput group = build_group(table, formed->group(g));
    if (group.text.size() > kMaxField || group.metadata.size() > kMaxField ||
        (group.nested_block && group.nested_block->size() > kMaxField)) {
      return std::nullopt;
    }
    kvn::append_u32_le(meta, static_cast<std::uint32_t>(group.members.size()));
    for (const std::uint32_t m : group.members) kvn::append_u32_le(meta, m);
    append_u32_bytes(meta, group.metadata);
    kvn::append_u8(meta, group.nested_block ? 1 : 0);
    if (group.nested_block) append_u32_bytes(meta, *group.nested_block);
    append_u32_bytes(out.text, group.text);
    if (reached_limit()) return std::nullopt;
  }

  kvn::append_u32_le(meta, static_cast<std::uint32_t>(residual.size()));
  for (const std::uint32_t i : residual) kvn::append_u32_le(meta, i);
  kvn::append_u32_le(meta, static_cast<std::uint32_t>(residual_length));
  for (std::size_t k = 0; k < residual.size(); ++k) {
    if (k != 0) out.text.push_back(0x00);
    kvn::append_bytes(out.text, elements[residual[k]]);
  }
  if (reached_limit()) return std::nullopt;
  return out;
}

std::optional<Layout> preprocess_grouped(ByteSpan input, const ArraySpan& span) {
  return build_grouped(input, span, input.size());
}

}  // namespace kelvane::format::json_array
