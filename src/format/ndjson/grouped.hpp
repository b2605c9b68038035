// The Grouped layout of the NDJSON transform, for lines that do not share
// one skeleton (or whose single-shape layout is not smaller): lines are
// grouped by skeleton, optionally refined by the value of one
// DiscriminatorColumn; every group of at least 5 lines gets its own Uniform
// (with nesting) or Selective layout, and the other lines, the
// ResidualRows, travel raw with their line indices.
//
// Grouped metadata: layout 2, the input's trailing-newline flag, the line
// count N (u32), the group count g (u16), then per group its row count n
// (u32), its n line indices (u32, ascending), the length of its metadata
// (u32) and that metadata; then the residual count r (u32) and the r
// residual line indices (u32, ascending). Grouped text: per group a u32
// length and its text, then the residual lines joined by LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/ndjson/row_table.hpp"
#include "format/ndjson/ndjson.hpp"

namespace kelvane::format::ndjson {

inline constexpr std::size_t kMinGroupRows = 5;
inline constexpr std::size_t kMaxGroups = 65535;

// The column whose values refine the grouping: searched over the first 200
// parsable lines (at least 10 of them), among the columns every sample line
// has and whose mean value length is at most 30; the one with the fewest
// distinct values, at least 2 and fewer than a third of the sample, the
// earliest on ties. Nothing when no column qualifies.
std::optional<std::size_t> find_discriminator_column(const RowTable& table);

// One group's share of the layout.
struct GroupOutput {
  std::span<const std::uint32_t> rows;  // line indices, ascending
  kvn::Bytes text;
  kvn::Bytes metadata;
};

// One grouping pass: lines keyed by skeleton, or by skeleton and the value
// of `discriminator` when one is given. Nothing when no group of 5 lines
// forms, more than 65,535 would, a length outgrows its field, or the text
// and metadata together reach `size_limit` bytes (such a pass can never be
// chosen, so it stops as soon as it gets there).
std::optional<Layout> preprocess_grouped_core(const RowTable& table, bool trailing_newline,
                                              std::optional<std::size_t> discriminator,
                                              std::uint64_t size_limit);

// The grouped route of preprocess: the plain pass, the pass with the
// DiscriminatorColumn when there is one (kept only when strictly smaller),
// and nothing unless the result is smaller than the input.
std::optional<Layout> preprocess_grouped(const RowTable& table, bool trailing_newline,
                                         std::uint64_t input_length);

// One group entry of the Grouped metadata, as views into it.
struct GroupEntry {
  std::uint32_t rows = 0;
  kvn::ByteSpan indices;   // rows x u32 line indices
  kvn::ByteSpan metadata;  // the group's Uniform or Selective metadata
};

// Reads the next group entry; false when one of its fields is cut.
bool read_group_entry(kvn::ByteReader& meta, GroupEntry& entry);

// The Grouped branch of reverse. Never fails: a group it cannot rebuild
// gives the text its lines were to come from, cut at LF; metadata or text
// it cannot use otherwise, a line left without content, or output beyond
// `budget` gives a copy of `text`.
kvn::Bytes reverse_grouped(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget);

}  // namespace kelvane::format::ndjson
