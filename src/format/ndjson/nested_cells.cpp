// How far the nested blocks of a stored NDJSON metadata let a flat text
// outgrow the lines it rebuilds: the reverse budgets of the chain grant
// that growth, and no more.
#include "format/ndjson/grouped.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "kvn/saturating.hpp"

namespace kelvane::format::ndjson {
namespace {

// The cells of one Uniform metadata's nested block; 0 when it has none.
std::uint64_t uniform_cells(kvn::ByteSpan metadata) {
  const auto parsed = parse_uniform_metadata(metadata);
  if (!parsed) return 0;
  const auto infos = deserialize_nested_info(parsed->nested);
  return infos ? nested_cells(infos->infos, parsed->row_count) : 0;
}

std::uint64_t grouped_cells(kvn::ByteSpan metadata) {
  if (metadata.size() < 8) return 0;
  const std::uint16_t groups = kvn::load_u16_le(metadata.data() + 6);
  kvn::ByteReader meta(metadata.subspan(8));
  std::uint64_t cells = 0;
  for (std::uint16_t g = 0; g < groups; ++g) {
    GroupEntry entry;
    if (!read_group_entry(meta, entry)) return 0;
    if (!entry.metadata.empty() &&
        entry.metadata[0] == static_cast<std::uint8_t>(ColumnarLayout::Uniform)) {
      cells = kvn::saturating_add(cells, uniform_cells(entry.metadata));
    }
  }
  return cells;
}

}  // namespace

std::uint64_t nested_cells(const StoredNestedInfos& infos, std::uint32_t rows) noexcept {
  std::uint64_t keys = 0;
  // At most 255 x 65,535 keys.
  for (std::size_t i = 0; i < infos.size(); ++i) keys += infos[i].key_count();
  return kvn::saturating_mul(keys, rows);
}

std::uint64_t declared_nested_cells(kvn::ByteSpan metadata) {
  if (metadata.empty()) return 0;
  switch (static_cast<ColumnarLayout>(metadata[0])) {
    case ColumnarLayout::Uniform:
      return uniform_cells(metadata);
    case ColumnarLayout::Grouped:
      return grouped_cells(metadata);
    default:  // Selective layouts carry no nested block
      return 0;
  }
}

}  // namespace kelvane::format::ndjson
