// The Grouped reverse of a JSON array, in two passes. The first reads the
// metadata, checks every group's text against its layout and measures each
// element it will rebuild; the elements are then put in the order of their
// indices and given their places in the output. The second writes each
// group's elements straight into those places, and the residual elements
// and the separators between them: nothing is rebuilt twice or held in a
// buffer of its own.
//
// Every field must lie inside the metadata (each group text inside the
// text), and every count read from the metadata is checked against the
// bytes its entries need before anything is reserved for it. The elements
// together stay within the budget, and so do the unflattened texts kept for
// the second pass; an element count or size that passes it, and every
// other mismatch, gives back a copy of the text.
//
// Per element the reverse holds 16 bytes, for the 4 bytes of its index:
// its key for the ordering (index and element number) and its size, which
// becomes its place. Separators and pieces are read where they are stored.
#include <algorithm>
#include <cstring>

#include "format/json_array/json_array.hpp"
#include "format/json_array/stored_list.hpp"
#include "format/ndjson/write.hpp"
#include "format/scan.hpp"

namespace kelvane::format::json_array {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

// A group's metadata: layout 1, member count (u32), column count c (u16),
// piece count (u16, c + 1), then each piece as a u16 length and its bytes.
struct GroupMetadata {
  ByteSpan pieces;                 // as stored, read with StoredListCursor
  std::uint64_t pieces_length = 0;  // their bytes together
  std::uint32_t members = 0;
  std::uint16_t columns = 0;
};

// Nothing unless the pieces are all there, number columns + 1, and the
// member and column counts are non-zero. The layout byte is not examined.
std::optional<GroupMetadata> parse_group_metadata(ByteSpan metadata) {
  if (metadata.size() < 9) return std::nullopt;
  GroupMetadata out;
  out.members = kvn::load_u32_le(metadata.data() + 1);
  out.columns = kvn::load_u16_le(metadata.data() + 5);
  const std::uint16_t piece_count = kvn::load_u16_le(metadata.data() + 7);
  if (piece_count == 0 || metadata.size() < 11) return std::nullopt;
  kvn::ByteReader r(metadata.subspan(9));
  if (!read_stored_list(r, piece_count, out.pieces_length, out.pieces)) return std::nullopt;
  if (piece_count != std::uint32_t{out.columns} + 1 || out.members == 0 || out.columns == 0) {
    return std::nullopt;
  }
  return out;
}

// One group entry of the metadata, as views into it.
struct GroupEntry {
  std::uint32_t members = 0;
  ByteSpan indices;  // members x u32 element indices
  ByteSpan metadata;
  bool nested = false;
  ByteSpan block;  // the nested block, when nested
};

bool read_u16_bytes(kvn::ByteReader& r, ByteSpan& out) {
  std::uint16_t length = 0;
  return r.read_u16(length) && r.read_bytes(length, out);
}

bool read_u32_bytes(kvn::ByteReader& r, ByteSpan& out) {
  std::uint32_t length = 0;
  return r.read_u32(length) && r.read_bytes(length, out);
}

bool read_group_entry(kvn::ByteReader& r, GroupEntry& entry) {
  std::uint8_t nested_flag = 0;
  if (!r.read_u32(entry.members) ||
      !r.read_bytes(std::uint64_t{entry.members} * 4, entry.indices) ||
      !read_u32_bytes(r, entry.metadata) || !r.read_u8(nested_flag)) {
    return false;
  }
  entry.nested = nested_flag == 1;
  return !entry.nested || read_u32_bytes(r, entry.block);
}

// The residual part of the metadata, after the groups.
struct ResidualEntry {
  std::uint32_t count = 0;
  ByteSpan indices;
  std::uint32_t text_length = 0;
};

bool read_residual_entry(kvn::ByteReader& r, ResidualEntry& entry) {
  return r.read_u32(entry.count) && r.read_bytes(std::uint64_t{entry.count} * 4, entry.indices) &&
         r.read_u32(entry.text_length);
}

// The elements the groups and the residual part of the metadata name, or
// nothing when a field is cut. Each takes 4 bytes of metadata.
std::optional<std::uint64_t> count_elements(kvn::ByteReader r, std::uint16_t groups) {
  std::uint64_t elements = 0;
  for (std::uint16_t g = 0; g < groups; ++g) {
    GroupEntry entry;
    if (!read_group_entry(r, entry)) return std::nullopt;
    elements += entry.members;
  }
  ResidualEntry residual;
  if (!read_residual_entry(r, residual)) return std::nullopt;
  return elements + residual.count;
}

// The elements in the order of the output: a key per element, its index
// in the top half and its number in the low half (group members counted
// across the groups in their order, then the residual elements), so that
// sorting the keys orders by index and keeps the elements of one index in
// the order they were read. And each element's size, by number, which the
// ordering turns into its place in the output.
struct Elements {
  std::vector<std::uint64_t> keys;
  std::vector<std::uint64_t> at;

  void reserve(std::uint64_t count) {
    keys.reserve(static_cast<std::size_t>(count));
    at.reserve(static_cast<std::size_t>(count));
  }
  void add(std::uint32_t index, std::uint64_t size) {
    keys.push_back(std::uint64_t{index} << 32 | at.size());
    at.push_back(size);
  }
  std::size_t size() const noexcept { return at.size(); }
  static std::uint32_t number(std::uint64_t key) noexcept {
    return static_cast<std::uint32_t>(key);
  }
};

// A group as the first pass leaves it to the second.
struct Group {
  ByteSpan plain;  // a view of the text, or of the group's unflattened text
  GroupMetadata layout;
};

// Advances through the `sep`-separated parts of a text.
struct PartCursor {
  const std::uint8_t* p;
  const std::uint8_t* end;
  std::uint8_t sep;
  ByteSpan next() noexcept {
    const auto* hit = static_cast<const std::uint8_t*>(
        p == end ? nullptr : std::memchr(p, sep, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = hit == nullptr ? end : hit;
    const ByteSpan part(p, static_cast<std::size_t>(stop - p));
    p = hit == nullptr ? end : hit + 1;
    return part;
  }
};

// One cursor per column of a group's plain text, the last one running to
// its end.
void cut_columns(const Group& group, std::vector<PartCursor>& columns) {
  columns.clear();
  PartCursor cut{group.plain.data(), group.plain.data() + group.plain.size(), ndjson::COLUMN_SEPARATOR};
  for (std::size_t j = 0; j < group.layout.columns; ++j) {
    const ByteSpan column = cut.next();
    columns.push_back({column.data(), column.data() + column.size(), ndjson::VALUE_SEPARATOR});
  }
}

// True when the plain text holds exactly the layout's c columns of k values.
bool fits_layout(const Group& group, const std::vector<PartCursor>& columns) {
  if (count_byte(group.plain, ndjson::COLUMN_SEPARATOR) != std::uint64_t{group.layout.columns} - 1) {
    return false;
  }
  for (const PartCursor& column : columns) {
    const ByteSpan values(column.p, static_cast<std::size_t>(column.end - column.p));
    if (count_byte(values, ndjson::VALUE_SEPARATOR) != std::uint64_t{group.layout.members} - 1) {
      return false;
    }
  }
  return true;
}

// First pass over one group: an element per member, its size the pieces
// and its values. False when the text does not fit the layout or the
// elements so far pass `budget` (`total` adds them up).
bool measure_members(const Group& group, ByteSpan indices, std::uint64_t budget,
                     std::uint64_t& total, std::vector<PartCursor>& columns, Elements& elements) {
  cut_columns(group, columns);
  if (!fits_layout(group, columns)) return false;
  for (std::uint32_t i = 0; i < group.layout.members; ++i) {
    std::uint64_t size = group.layout.pieces_length;
    for (PartCursor& column : columns) size += column.next().size();
    if (size > budget - total) return false;
    total += size;
    elements.add(kvn::load_u32_le(indices.data() + 4 * std::size_t{i}), size);
  }
  return true;
}

// Second pass over one group: member i written at out + at[i] (`at` starts
// at the group's first member).
void write_members(const Group& group, const std::uint64_t* at, std::uint8_t* out,
                   std::vector<PartCursor>& columns) {
  cut_columns(group, columns);  // the first pass found them to fit
  for (std::uint32_t i = 0; i < group.layout.members; ++i) {
    std::uint8_t* w = out + at[i];
    StoredListCursor pieces(group.layout.pieces);
    ByteSpan piece;
    pieces.next(piece);  // the first pass found the c + 1 pieces there
    ndjson::put(w, piece);
    for (PartCursor& column : columns) {
      ndjson::put(w, column.next());
      pieces.next(piece);
      ndjson::put(w, piece);
    }
  }
}

}  // namespace

Bytes unflatten_group_nested(ByteSpan nested, const ndjson::StoredNestedInfos& infos,
                             std::uint32_t members, std::uint16_t w, Budget budget) {
  return ndjson::unflatten_nested_columns(nested, infos, members, w, budget,
                                          ndjson::AbsentKeys::Marker);
}

Bytes unflatten_group_nested(ByteSpan nested, std::span<const ndjson::NestedGroupInfo> infos,
                             std::uint32_t members, std::uint16_t w, Budget budget) {
  return ndjson::unflatten_nested_columns(nested, infos, members, w, budget,
                                          ndjson::AbsentKeys::Marker);
}

Bytes reverse_grouped(ByteSpan t, ByteSpan m, Budget budget) {
  const auto unchanged = [&] { return budget.copy_of(t); };
  if (m.size() < 5) return unchanged();
  kvn::ByteReader r(m.subspan(1));
  ByteSpan prefix;
  ByteSpan suffix;
  ByteSpan default_separator;
  std::uint8_t mode = 0;
  if (!read_u32_bytes(r, prefix) || !read_u32_bytes(r, suffix) ||
      !read_u16_bytes(r, default_separator) || !r.read_u8(mode)) {
    return unchanged();
  }
  ByteSpan separator_list;  // mode 0: the separators as stored, for the elements in index order
  if (mode != 1) {
    std::uint32_t count = 0;
    std::uint64_t total = 0;
    if (!r.read_u32(count) || !read_stored_list(r, count, total, separator_list)) {
      return unchanged();
    }
  }

  std::uint16_t group_count = 0;
  if (!r.read_u16(group_count)) return unchanged();
  // Every index is there (4 bytes of metadata each) before the elements
  // are reserved; they are numbered in 32 bits.
  const auto element_count = count_elements(r, group_count);
  if (!element_count || *element_count > UINT32_MAX) return unchanged();
  Elements elements;
  elements.reserve(*element_count);
  std::vector<Group> groups;
  groups.reserve(group_count);  // every group entry was found above
  std::vector<Bytes> unflattened;  // the plain texts that are no view of `t`
  std::vector<PartCursor> columns;
  kvn::ByteReader body(t);
  std::uint64_t measured = 0;  // the bytes of the elements measured so far
  std::uint64_t plain_left = budget.output();
  for (std::uint16_t g = 0; g < group_count; ++g) {
    GroupEntry entry;
    ByteSpan text;
    if (!read_group_entry(r, entry) || !read_u32_bytes(body, text)) return unchanged();
    Group& group = groups.emplace_back();
    group.plain = text;
    if (entry.nested) {
      if (entry.block.size() < 6) return unchanged();
      const ByteSpan block = entry.block;
      auto infos = ndjson::deserialize_nested_info(block.subspan(6));
      if (!infos) return unchanged();
      // Plain texts are shorter than the elements rebuilt from them, so
      // those of valid data fit the budget together.
      Bytes& plain = unflattened.emplace_back(unflatten_group_nested(
          text, infos->infos, kvn::load_u32_le(block.data()), kvn::load_u16_le(block.data() + 4),
          budget.with_output(plain_left)));
      if (plain.size() > plain_left) return unchanged();
      plain_left -= plain.size();
      group.plain = plain;
    }
    auto layout = parse_group_metadata(entry.metadata);
    if (!layout || layout->members != entry.members) return unchanged();
    group.layout = *layout;
    if (!measure_members(group, entry.indices, budget.output(), measured, columns, elements)) {
      return unchanged();
    }
  }
  const std::size_t members = elements.size();

  ResidualEntry residual;
  if (!read_residual_entry(r, residual)) return unchanged();
  const ByteSpan rest = body.rest();
  const ByteSpan residual_text =
      rest.first(std::min<std::size_t>(residual.text_length, rest.size()));
  const bool has_residual = residual.count > 0 && !residual_text.empty();
  if (has_residual) {
    if (count_byte(residual_text, 0x00) != std::uint64_t{residual.count} - 1) return unchanged();
    PartCursor parts{residual_text.data(), residual_text.data() + residual_text.size(), 0x00};
    for (std::uint32_t i = 0; i < residual.count; ++i) {
      elements.add(kvn::load_u32_le(residual.indices.data() + 4 * std::size_t{i}),
                   parts.next().size());
    }
  }

  // The separator after the i-th element in index order, read by `stored`
  // (a cursor for each pass, as i goes up): none after the last element
  // nor past the stored ones.
  const auto separator = [&](std::size_t i, StoredListCursor& stored) -> std::optional<ByteSpan> {
    if (i + 1 >= elements.size()) return std::nullopt;
    if (mode == 1) return default_separator;
    ByteSpan next;
    if (stored.next(next)) return next;
    return std::nullopt;
  };
  // Fewer than 2^32 elements of at most the budget (or 2^32 bytes) each,
  // and separators of 65,535: no wrap.
  std::uint64_t size = prefix.size() + suffix.size();
  StoredListCursor counted(separator_list);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    size += elements.at[i];
    if (const auto sep = separator(i, counted)) size += sep->size();
  }
  if (size > budget.output()) return unchanged();
  if (!budget.take(size)) return {};

  // In index order, each element's size becomes its place; the separators
  // are written between them.
  std::vector<std::uint64_t>& keys = elements.keys;
  if (!std::is_sorted(keys.begin(), keys.end())) std::sort(keys.begin(), keys.end());
  Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  ndjson::put(w, prefix);
  StoredListCursor written(separator_list);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::uint64_t& at = elements.at[Elements::number(keys[i])];
    const std::uint64_t element_size = at;
    at = static_cast<std::uint64_t>(w - out.data());
    w += element_size;
    if (const auto sep = separator(i, written)) ndjson::put(w, *sep);
  }
  ndjson::put(w, suffix);
  if (has_residual) {
    PartCursor parts{residual_text.data(), residual_text.data() + residual_text.size(), 0x00};
    for (std::size_t i = members; i < elements.size(); ++i) {
      std::uint8_t* place = out.data() + elements.at[i];
      ndjson::put(place, parts.next());
    }
  }
  std::size_t first = 0;
  for (const Group& group : groups) {
    write_members(group, elements.at.data() + first, out.data(), columns);
    first += group.layout.members;
  }
  return out;
}

}  // namespace kelvane::format::json_array
