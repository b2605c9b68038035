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
#include <algorithm>
#include <cstring>

#include "format/json_array/json_array.hpp"
#include "format/json_array/separators.hpp"
#include "format/ndjson/write.hpp"
#include "format/scan.hpp"

namespace kelvane::format::json_array {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

// One element of the output: its index in the array, where its bytes come
// from (group member `source`, counted across the groups in their order,
// or residual part `source` - members), and its length.
struct Record {
  std::uint32_t index;
  std::uint32_t source;
  std::uint64_t size;
};

// A group as the first pass leaves it to the second.
struct Group {
  ByteSpan plain;  // a view of the text, or of the group's unflattened text
  GroupMetadata layout;
};

bool read_u16_bytes(kvn::ByteReader& r, ByteSpan& out) {
  std::uint16_t length = 0;
  return r.read_u16(length) && r.read_bytes(length, out);
}

bool read_u32_bytes(kvn::ByteReader& r, ByteSpan& out) {
  std::uint32_t length = 0;
  return r.read_u32(length) && r.read_bytes(length, out);
}

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

// First pass over one group: a record per member, its size the pieces and
// its values, numbered from `source`. False when the text does not fit the
// layout or the elements so far pass `budget` (`total` adds them up).
bool measure_members(const Group& group, ByteSpan indices, std::uint32_t source,
                     std::uint64_t budget, std::uint64_t& total, std::vector<PartCursor>& columns,
                     std::vector<Record>& records) {
  cut_columns(group, columns);
  if (!fits_layout(group, columns)) return false;
  std::uint64_t pieces = 0;
  for (const ByteSpan piece : group.layout.pieces) pieces += piece.size();
  for (std::uint32_t i = 0; i < group.layout.members; ++i) {
    std::uint64_t size = pieces;
    for (PartCursor& column : columns) size += column.next().size();
    if (size > budget - total) return false;
    total += size;
    records.push_back({kvn::load_u32_le(indices.data() + 4 * std::size_t{i}), source + i, size});
  }
  return true;
}

// Second pass over one group: member i written at out + at[i] (`at` starts
// at the group's first member).
void write_members(const Group& group, const std::uint64_t* at, std::uint8_t* out,
                   std::vector<PartCursor>& columns) {
  cut_columns(group, columns);  // the first pass found them to fit
  const auto& pieces = group.layout.pieces;
  for (std::uint32_t i = 0; i < group.layout.members; ++i) {
    std::uint8_t* w = out + at[i];
    ndjson::put(w, pieces[0]);
    for (std::size_t j = 0; j < columns.size(); ++j) {
      ndjson::put(w, columns[j].next());
      ndjson::put(w, pieces[j + 1]);
    }
  }
}

}  // namespace

std::optional<GroupMetadata> parse_group_metadata(ByteSpan metadata) {
  if (metadata.size() < 9) return std::nullopt;
  GroupMetadata out;
  out.members = kvn::load_u32_le(metadata.data() + 1);
  out.columns = kvn::load_u16_le(metadata.data() + 5);
  const std::uint16_t piece_count = kvn::load_u16_le(metadata.data() + 7);
  if (piece_count == 0 || metadata.size() < 11) return std::nullopt;
  kvn::ByteReader r(metadata.subspan(9));
  if (!r.has(std::uint64_t{2} * piece_count)) return std::nullopt;
  out.pieces.resize(piece_count);
  for (ByteSpan& piece : out.pieces) {
    if (!read_u16_bytes(r, piece)) return std::nullopt;
  }
  if (piece_count != std::uint32_t{out.columns} + 1 || out.members == 0 || out.columns == 0) {
    return std::nullopt;
  }
  return out;
}

Bytes unflatten_group_nested(ByteSpan nested, const ndjson::StoredNestedInfos& infos,
                             std::uint32_t members, std::uint16_t w, std::uint64_t budget) {
  return ndjson::unflatten_nested_columns(nested, infos, members, w, budget,
                                          ndjson::AbsentKeys::Marker);
}

Bytes unflatten_group_nested(ByteSpan nested, std::span<const ndjson::NestedGroupInfo> infos,
                             std::uint32_t members, std::uint16_t w, std::uint64_t budget) {
  return ndjson::unflatten_nested_columns(nested, infos, members, w, budget,
                                          ndjson::AbsentKeys::Marker);
}

Bytes reverse_grouped(ByteSpan t, ByteSpan m, std::uint64_t budget) {
  const auto unchanged = [&] { return Bytes(t.begin(), t.end()); };
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
    if (!r.read_u32(count) || !read_separator_list(r, count, total, separator_list)) {
      return unchanged();
    }
  }

  std::uint16_t group_count = 0;
  if (!r.read_u16(group_count)) return unchanged();
  std::vector<Group> groups;
  groups.reserve(std::min<std::size_t>(group_count, r.remaining() / 9));
  std::vector<Bytes> unflattened;  // the plain texts that are no view of `t`
  std::vector<Record> records;     // every index is in the metadata: fewer than 2^32
  std::vector<PartCursor> columns;
  kvn::ByteReader body(t);
  std::uint64_t elements = 0;  // the bytes of the elements measured so far
  std::uint64_t plain_left = budget;
  std::uint32_t members = 0;
  for (std::uint16_t g = 0; g < group_count; ++g) {
    std::uint32_t k = 0;
    ByteSpan indices;
    ByteSpan metadata;
    std::uint8_t nested_flag = 0;
    ByteSpan block;
    ByteSpan text;
    if (!r.read_u32(k) || !r.read_bytes(std::uint64_t{k} * 4, indices) ||
        !read_u32_bytes(r, metadata) || !r.read_u8(nested_flag) ||
        (nested_flag == 1 && !read_u32_bytes(r, block)) || !read_u32_bytes(body, text)) {
      return unchanged();
    }
    Group& group = groups.emplace_back();
    group.plain = text;
    if (nested_flag == 1) {
      if (block.size() < 6) return unchanged();
      auto infos = ndjson::deserialize_nested_info(block.subspan(6));
      if (!infos) return unchanged();
      // Plain texts are shorter than the elements rebuilt from them, so
      // those of valid data fit the budget together.
      Bytes& plain = unflattened.emplace_back(unflatten_group_nested(
          text, infos->infos, kvn::load_u32_le(block.data()), kvn::load_u16_le(block.data() + 4),
          plain_left));
      if (plain.size() > plain_left) return unchanged();
      plain_left -= plain.size();
      group.plain = plain;
    }
    auto layout = parse_group_metadata(metadata);
    if (!layout || layout->members != k) return unchanged();
    group.layout = std::move(*layout);
    if (!measure_members(group, indices, members, budget, elements, columns, records)) {
      return unchanged();
    }
    members += k;
  }

  std::uint32_t residual = 0;
  ByteSpan indices;
  std::uint32_t residual_length = 0;
  if (!r.read_u32(residual) || !r.read_bytes(std::uint64_t{residual} * 4, indices) ||
      !r.read_u32(residual_length)) {
    return unchanged();
  }
  const ByteSpan rest = body.rest();
  const ByteSpan residual_text = rest.first(std::min<std::size_t>(residual_length, rest.size()));
  std::vector<ByteSpan> residual_parts;
  if (residual > 0 && !residual_text.empty()) {
    if (count_byte(residual_text, 0x00) != std::uint64_t{residual} - 1) return unchanged();
    residual_parts.reserve(residual);
    records.reserve(records.size() + residual);
    PartCursor parts{residual_text.data(), residual_text.data() + residual_text.size(), 0x00};
    for (std::uint32_t i = 0; i < residual; ++i) {
      residual_parts.push_back(parts.next());
      records.push_back({kvn::load_u32_le(indices.data() + 4 * std::size_t{i}), members + i,
                         residual_parts.back().size()});
    }
  }

  const auto by_index = [](const Record& a, const Record& b) { return a.index < b.index; };
  if (!std::is_sorted(records.begin(), records.end(), by_index)) {
    std::stable_sort(records.begin(), records.end(), by_index);
  }
  // The separator after the i-th element in index order, read by `stored`
  // (a cursor for each pass, as i goes up): none after the last element
  // nor past the stored ones.
  const auto separator = [&](std::size_t i, SeparatorCursor& stored) -> std::optional<ByteSpan> {
    if (i + 1 >= records.size()) return std::nullopt;
    if (mode == 1) return default_separator;
    ByteSpan next;
    if (stored.next(next)) return next;
    return std::nullopt;
  };
  // Each member's place in the output. Fewer than 2^32 records of at most
  // the budget (or 2^32 bytes) each, and separators of 65,535: no wrap.
  std::vector<std::uint64_t> at(members);
  std::uint64_t size = prefix.size();
  SeparatorCursor measured(separator_list);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].source < members) at[records[i].source] = size;
    size += records[i].size;
    if (const auto sep = separator(i, measured)) size += sep->size();
  }
  size += suffix.size();
  if (size > budget) return unchanged();

  Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  ndjson::put(w, prefix);
  SeparatorCursor written(separator_list);
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (records[i].source >= members) {
      ndjson::put(w, residual_parts[records[i].source - members]);
    } else {
      w += records[i].size;  // written with its group below
    }
    if (const auto sep = separator(i, written)) ndjson::put(w, *sep);
  }
  ndjson::put(w, suffix);
  std::uint32_t first = 0;
  for (const Group& group : groups) {
    write_members(group, at.data() + first, out.data(), columns);
    first += group.layout.members;
  }
  return out;
}

}  // namespace kelvane::format::json_array
