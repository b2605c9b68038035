// The Grouped reverse of a JSON array: each group's elements are rebuilt
// into a buffer of their own, the residual elements are cut from the end of
// the text, and all of them are written in the order of their element
// indices between the prefix, the separators and the suffix.
//
// Every field must lie inside the metadata (each group text inside the
// text), and every count read from the metadata is checked against the
// bytes its entries need before anything is reserved for it. Each group is
// rebuilt within what is left of the budget; a group that does not fit, and
// every other mismatch, gives back a copy of the text.
#include <algorithm>
#include <cstring>

#include "format/json_array/json_array.hpp"
#include "format/scan.hpp"

namespace kelvane::format::json_array {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

// One element of the output: its index in the array and its bytes.
struct Record {
  std::uint32_t index;
  ByteSpan bytes;
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

// The members of one group: `plain` split into the metadata's columns of k
// values, each member rebuilt from the pieces into `out`, within `budget`.
bool rebuild_members(ByteSpan plain, const GroupMetadata& group, ByteSpan indices,
                     std::uint64_t budget, Bytes& out, std::vector<Record>& records) {
  const std::uint32_t k = group.members;
  const std::size_t c = group.columns;
  if (count_byte(plain, ndjson::COLUMN_SEPARATOR) != c - 1) return false;
  std::vector<PartCursor> columns;
  columns.reserve(c);
  PartCursor cut{plain.data(), plain.data() + plain.size(), ndjson::COLUMN_SEPARATOR};
  for (std::size_t j = 0; j < c; ++j) {
    const ByteSpan column = cut.next();
    if (count_byte(column, ndjson::VALUE_SEPARATOR) != std::uint64_t{k} - 1) return false;
    columns.push_back({column.data(), column.data() + column.size(), ndjson::VALUE_SEPARATOR});
  }
  // Exact size: the values (the text less its separators) and k copies of
  // the pieces.
  std::uint64_t pieces = 0;
  for (const ByteSpan piece : group.pieces) pieces += piece.size();
  const std::uint64_t values = plain.size() - (c - 1) - std::uint64_t{c} * (k - 1);
  std::uint64_t size = 0;
  if (__builtin_mul_overflow(pieces, std::uint64_t{k}, &size) ||
      __builtin_add_overflow(size, values, &size) || size > budget) {
    return false;
  }
  out.resize(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  const auto put = [&w](ByteSpan s) {
    if (!s.empty()) std::memcpy(w, s.data(), s.size());
    w += s.size();
  };
  for (std::uint32_t i = 0; i < k; ++i) {
    const std::uint8_t* start = w;
    put(group.pieces[0]);
    for (std::size_t j = 0; j < c; ++j) {
      put(columns[j].next());
      put(group.pieces[j + 1]);
    }
    records.push_back({kvn::load_u32_le(indices.data() + 4 * std::size_t{i}),
                       ByteSpan(start, static_cast<std::size_t>(w - start))});
  }
  return true;
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
  std::vector<ByteSpan> separators;
  if (mode != 1) {
    std::uint32_t count = 0;
    if (!r.read_u32(count) || !r.has(std::uint64_t{2} * count)) return unchanged();
    separators.resize(count);
    for (ByteSpan& separator : separators) {
      if (!read_u16_bytes(r, separator)) return unchanged();
    }
  }

  std::uint16_t groups = 0;
  if (!r.read_u16(groups)) return unchanged();
  std::vector<Record> records;
  std::vector<Bytes> rebuilt;  // the group buffers the records point into
  rebuilt.reserve(std::min<std::size_t>(groups, r.remaining() / 9));
  kvn::ByteReader body(t);
  std::uint64_t left = budget;
  for (std::uint16_t g = 0; g < groups; ++g) {
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
    Bytes unflattened;
    ByteSpan plain = text;
    if (nested_flag == 1) {
      if (block.size() < 6) return unchanged();
      auto infos = ndjson::deserialize_nested_info(block.subspan(6));
      if (!infos) return unchanged();
      unflattened = unflatten_group_nested(text, infos->infos, kvn::load_u32_le(block.data()),
                                           kvn::load_u16_le(block.data() + 4), left);
      plain = unflattened;
    }
    const auto group = parse_group_metadata(metadata);
    if (!group || group->members != k) return unchanged();
    records.reserve(records.size() + k);  // k indices are in the metadata
    Bytes& out = rebuilt.emplace_back();
    if (!rebuild_members(plain, *group, indices, left, out, records)) return unchanged();
    left -= out.size();
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
  if (residual > 0 && !residual_text.empty()) {
    if (count_byte(residual_text, 0x00) != std::uint64_t{residual} - 1) return unchanged();
    records.reserve(records.size() + residual);
    PartCursor parts{residual_text.data(), residual_text.data() + residual_text.size(), 0x00};
    for (std::uint32_t i = 0; i < residual; ++i) {
      records.push_back({kvn::load_u32_le(indices.data() + 4 * std::size_t{i}), parts.next()});
    }
  }

  std::stable_sort(records.begin(), records.end(),
                   [](const Record& a, const Record& b) { return a.index < b.index; });
  const auto separator = [&](std::size_t i) -> std::optional<ByteSpan> {
    if (i + 1 >= records.size()) return std::nullopt;
    if (mode == 1) return default_separator;
    if (i < separators.size()) return separators[i];
    return std::nullopt;
  };
  // Fewer than 2^31 terms of at most 2^32 bytes each: no wrap.
  std::uint64_t size = prefix.size() + suffix.size();
  for (std::size_t i = 0; i < records.size(); ++i) {
    size += records[i].bytes.size();
    if (const auto sep = separator(i)) size += sep->size();
  }
  if (size > budget) return unchanged();
  Bytes out;
  out.reserve(static_cast<std::size_t>(size));
  kvn::append_bytes(out, prefix);
  for (std::size_t i = 0; i < records.size(); ++i) {
    kvn::append_bytes(out, records[i].bytes);
    if (const auto sep = separator(i)) kvn::append_bytes(out, *sep);
  }
  kvn::append_bytes(out, suffix);
  return out;
}

}  // namespace kelvane::format::json_array
