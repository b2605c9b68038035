// The Grouped reverse: every group's lines are rebuilt by the Uniform or
// Selective reverse into a buffer of their own, then cut at LF into line
// slots named by the group's indices; the residual lines fill their slots
// from the end of the text; the slots are written in order.
//
// Counts read from the metadata reserve nothing before the metadata is
// known to hold the bytes they need. Each group is rebuilt within what is
// left of the budget, and a group that cannot be rebuilt (within it or at
// all) gives back the whole text: no partial result. The final size is
// checked against the budget before anything is written.
#include <algorithm>
#include <cstring>

#include "format/ndjson/grouped.hpp"

namespace kelvane::format::ndjson {
namespace {

constexpr std::uint8_t kLf = 0x0A;

// The next part of `rest` up to an LF (or its end), and what follows it.
struct PartCursor {
  const std::uint8_t* pos;
  const std::uint8_t* end;
  bool more = true;  // splitting gives one part more than it finds LFs

  kvn::ByteSpan next() noexcept {
    const auto* lf = static_cast<const std::uint8_t*>(
        pos == end ? nullptr : std::memchr(pos, kLf, static_cast<std::size_t>(end - pos)));
    const std::uint8_t* stop = lf == nullptr ? end : lf;
    const kvn::ByteSpan part(pos, static_cast<std::size_t>(stop - pos));
    pos = lf == nullptr ? end : lf + 1;
    more = lf != nullptr;
    return part;
  }
};

// The lines of one group, within `budget`; nothing when they cannot be
// rebuilt, or its Selective metadata names another row count.
std::optional<kvn::Bytes> group_lines(kvn::ByteSpan text, kvn::ByteSpan metadata,
                                      std::uint32_t rows, std::uint64_t budget) {
  if (!metadata.empty() && metadata[0] == static_cast<std::uint8_t>(ColumnarLayout::Selective)) {
    const auto parsed = parse_selective_metadata(metadata);
    if (!parsed || parsed->row_count != rows) return std::nullopt;
    return rebuild_selective(text, *parsed, budget);
  }
  return rebuild_uniform(text, metadata, budget);
}

}  // namespace

bool read_group_entry(kvn::ByteReader& meta, GroupEntry& entry) {
  std::uint32_t metadata_length = 0;
  return meta.read_u32(entry.rows) && meta.read_bytes(std::uint64_t{entry.rows} * 4, entry.indices) &&
         meta.read_u32(metadata_length) && meta.read_bytes(metadata_length, entry.metadata);
}

kvn::Bytes reverse_grouped(kvn::ByteSpan text, kvn::ByteSpan metadata, std::uint64_t budget) {
  const auto unchanged = [&] { return kvn::Bytes(text.begin(), text.end()); };
  if (metadata.size() < 8) return unchanged();
  const bool trailing_newline = metadata[1] != 0;
  const std::uint32_t lines = kvn::load_u32_le(metadata.data() + 2);
  const std::uint16_t groups = kvn::load_u16_le(metadata.data() + 6);
  if (lines > (metadata.size() - 8) / 4) return unchanged();

  std::vector<kvn::ByteSpan> slots(lines);
  std::vector<std::uint8_t> filled(lines, 0);
  std::vector<kvn::Bytes> rebuilt;  // the group buffers the slots point into
  rebuilt.reserve(std::min<std::size_t>(groups, (metadata.size() - 8) / 8));
  kvn::ByteReader meta(metadata.subspan(8));
  kvn::ByteReader body(text);
  std::uint64_t left = budget;

  for (std::uint16_t g = 0; g < groups; ++g) {
    GroupEntry entry;
    std::uint32_t text_length = 0;
    kvn::ByteSpan group_text;
    if (!read_group_entry(meta, entry) || !body.read_u32(text_length) ||
        !body.read_bytes(text_length, group_text)) {
      return unchanged();
    }
    const std::uint32_t rows = entry.rows;
    const kvn::ByteSpan indices = entry.indices;
    auto group = group_lines(group_text, entry.metadata, rows, left);
    if (!group) return unchanged();
    left -= group->size();  // each rebuild stays within what is left
    rebuilt.push_back(std::move(*group));
    const kvn::Bytes& out = rebuilt.back();
    PartCursor parts{out.data(), out.data() + out.size()};
    for (std::uint32_t i = 0; i < rows && parts.more; ++i) {
      const kvn::ByteSpan part = parts.next();
      const std::uint32_t index = kvn::load_u32_le(indices.data() + 4 * std::size_t{i});
      if (index < lines) {
        slots[index] = part;
        filled[index] = 1;
      }
    }
  }

  std::uint32_t residual = 0;
  kvn::ByteSpan indices;
  if (!meta.read_u32(residual) || !meta.read_bytes(std::uint64_t{residual} * 4, indices)) {
    return unchanged();
  }
  const kvn::ByteSpan residual_text = body.rest();
  if (residual > 0 && !residual_text.empty()) {
    const auto* begin = residual_text.data();
    const auto* end = begin + residual_text.size();
    if (static_cast<std::uint64_t>(std::count(begin, end, kLf)) + 1 != residual) return unchanged();
    PartCursor parts{begin, end};
    for (std::uint32_t i = 0; i < residual; ++i) {
      const kvn::ByteSpan part = parts.next();
      const std::uint32_t index = kvn::load_u32_le(indices.data() + 4 * std::size_t{i});
      if (index < lines) {
        slots[index] = part;
        filled[index] = 1;
      }
    }
  }

  std::uint64_t size = lines == 0 ? 0 : std::uint64_t{lines} - 1 + (trailing_newline ? 1 : 0);
  for (std::uint32_t i = 0; i < lines; ++i) {
    if (filled[i] == 0) return unchanged();
    size += slots[i].size();  // parts of the group buffers and the text: no wrap
  }
  if (size > budget) return unchanged();
  kvn::Bytes out(static_cast<std::size_t>(size));
  std::uint8_t* w = out.data();
  for (std::uint32_t i = 0; i < lines; ++i) {
    if (!slots[i].empty()) std::memcpy(w, slots[i].data(), slots[i].size());
    w += slots[i].size();
    if (i + 1 < lines || trailing_newline) *w++ = kLf;
  }
  return out;
}

}  // namespace kelvane::format::ndjson
