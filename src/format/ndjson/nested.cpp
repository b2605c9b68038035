// Nested-object flattening: object parsers, flatten/unflatten and the byte
// form of the info list.
#include "format/ndjson/nested.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "format/ndjson/ndjson.hpp"
#include "format/scan.hpp"
#include "format/sink.hpp"

namespace kelvane::format::ndjson {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

constexpr std::size_t kNotFound = kStringNotClosed;
constexpr std::uint32_t kNoMember = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint8_t kNull[4] = {'n', 'u', 'l', 'l'};

bool is_null(ByteSpan v) noexcept { return v.size() == 4 && std::memcmp(v.data(), kNull, 4) == 0; }

std::string_view as_view(ByteSpan s) noexcept {
  return {reinterpret_cast<const char*>(s.data()), s.size()};
}

// Splits `text` at every `sep` (k separators give k + 1 parts).
void split(ByteSpan text, std::uint8_t sep, std::vector<ByteSpan>& parts) {
  parts.clear();
  const std::uint8_t* p = text.data();
  const std::uint8_t* const end = p + text.size();
  for (;;) {
    const auto* hit = static_cast<const std::uint8_t*>(
        p == end ? nullptr : std::memchr(p, sep, static_cast<std::size_t>(end - p)));
    if (hit == nullptr) {
      parts.emplace_back(p, end);
      return;
    }
    parts.emplace_back(p, hit);
    p = hit + 1;
  }
}

// Shared object parser; fills `pieces` too when it is given.
bool parse_object(ByteSpan s, std::vector<NestedMember>& members, std::vector<ByteSpan>* pieces) {
  members.clear();
  if (pieces != nullptr) pieces->clear();
  const std::size_t n = s.size();
  std::size_t i = skip_blanks(s, 0);
  if (i >= n || s[i] != '{' || i + 1 == n) return false;
  ++i;
  std::size_t piece_start = 0;
  for (;;) {
    i = skip_blanks(s, i);
    if (i >= n) return false;
    const std::uint8_t c = s[i];
    if (c == '}') {
      if (members.empty()) return false;
      break;
    }
    if (c != '"') return false;
    const std::size_t close = find_string_end(s, i);
    if (close == kNotFound) return false;
    const ByteSpan key = s.subspan(i + 1, close - 1 - (i + 1));
    i = skip_blanks(s, close);
    if (i >= n || s[i] != ':') return false;
    const auto value = extract_value(s, i + 1);
    if (!value) return false;
    const std::size_t value_start = static_cast<std::size_t>(value->value.data() - s.data());
    if (pieces != nullptr) pieces->push_back(s.subspan(piece_start, value_start - piece_start));
    members.push_back({key, value->value});
    piece_start = value->next;
    i = skip_blanks(s, value->next);
    if (i >= n) return false;
    if (s[i] == '}') break;
    if (s[i] != ',' || i + 1 == n) return false;
    ++i;
  }
  if (pieces != nullptr) pieces->push_back(s.subspan(piece_start));
  return true;
}

Bytes to_bytes(ByteSpan s) { return Bytes(s.begin(), s.end()); }

// How one nested column is written into the flat text.
struct ColumnPlan {
  ByteSpan column;  // the column as it stands (kept when not flattened)
  bool flattened = false;
  std::size_t key_count = 0;
  std::vector<NestedMember> members;  // every member of every object, row by row
  std::vector<std::uint32_t> table;   // [key * rows + row] -> member index, or kNoMember
  std::vector<bool> null_rows;
};

// Sets bit (key * rows + row) for every object row that lacks the key; the
// bitmap stays empty when no bit is set. False when it outgrows its u32
// length field.
bool build_absent_bitmap(const ColumnPlan& plan, std::uint32_t rows, NestedGroupInfo& info) {
  bool any_absent = false;
  for (std::size_t idx = 0; idx < plan.table.size() && !any_absent; ++idx) {
    any_absent = plan.table[idx] == kNoMember && !plan.null_rows[idx % rows];
  }
  if (!any_absent) return true;
  const std::size_t bits = plan.key_count * rows;
  if ((bits + 7) / 8 > std::numeric_limits<std::uint32_t>::max()) return false;
  info.absent_bitmap.assign((bits + 7) / 8, 0);
  for (std::size_t idx = 0; idx < bits; ++idx) {
    if (plan.table[idx] == kNoMember && !plan.null_rows[idx % rows]) {
      info.absent_bitmap[idx / 8] |= static_cast<std::uint8_t>(1u << (idx % 8));
    }
  }
  return true;
}

bool info_fits_byte_form(const NestedGroupInfo& info) noexcept {
  if (info.keys.size() > kMaxNestedKeys || info.template_pieces.size() > kMaxNestedPieces)
    return false;
  for (const Bytes& key : info.keys) {
    if (key.size() > kMaxNestedBytesLength) return false;
  }
  for (const Bytes& piece : info.template_pieces) {
    if (piece.size() > kMaxNestedBytesLength) return false;
  }
  return info.absent_bitmap.size() <= std::numeric_limits<std::uint32_t>::max();
}

enum class Planned : std::uint8_t {
  Flattened,
  LeftAsIs,  // a value does not parse, or the flattening would outgrow the column
  TooWide,   // the column's info would not fit the serialized form
};

// Gathers the keys of one qualifying column and fills the plan. The widths
// are checked only once the column is known to flatten, so that a column
// left as it is for another reason never counts as too wide.
Planned plan_nested_column(std::span<const ByteSpan> values, std::uint32_t rows,
                           std::size_t column_index, const FlattenOptions& options,
                           ColumnPlan& plan, NestedGroupInfo& info) {
  std::unordered_map<std::string_view, std::uint32_t> key_index;
  std::vector<std::uint32_t> member_key;  // key index of each member
  std::vector<std::size_t> row_begin(rows + std::size_t{1}, 0);
  std::vector<NestedMember> row_members;
  plan.null_rows.assign(rows, false);
  std::vector<ByteSpan> keys;
  bool have_template = false;
  const std::uint64_t bound = plan.column.size();
  for (std::uint32_t row = 0; row < rows; ++row) {
    row_begin[row] = plan.members.size();
    const ByteSpan v = values[row];
    if (is_null(v)) {
      plan.null_rows[row] = true;
      continue;
    }
    if (!have_template) {
      auto parsed = parse_nested_object_with_template(v);
      if (!parsed) return Planned::LeftAsIs;
      for (const ByteSpan piece : parsed->pieces) info.template_pieces.push_back(to_bytes(piece));
      row_members = std::move(parsed->members);
      have_template = true;
    } else if (!parse_nested_object_kv(v, row_members)) {
      return Planned::LeftAsIs;
    }
    for (const NestedMember& m : row_members) {
      auto [it, inserted] =
          key_index.try_emplace(as_view(m.key), static_cast<std::uint32_t>(keys.size()));
      if (inserted) {
        keys.push_back(m.key);
        // Every sub-column holds one value per row, so keys x rows bytes of
        // separators alone: beyond the column's own length the flattening
        // can only outgrow it (objects keyed by ids, for instance).
        if (options.bound_growth && static_cast<std::uint64_t>(keys.size()) * rows > bound)
          return Planned::LeftAsIs;
      }
      member_key.push_back(it->second);
      plan.members.push_back(m);
    }
  }
  row_begin[rows] = plan.members.size();
  if (keys.empty() || plan.members.size() >= kNoMember) return Planned::LeftAsIs;
  info.keys.reserve(keys.size());
  for (const ByteSpan k : keys) info.keys.push_back(to_bytes(k));
  if (column_index > std::numeric_limits<std::uint16_t>::max() || !info_fits_byte_form(info))
    return Planned::TooWide;

  plan.key_count = keys.size();
  plan.table.assign(plan.key_count * rows, kNoMember);
  for (std::uint32_t row = 0; row < rows; ++row) {
    for (std::size_t m = row_begin[row]; m < row_begin[row + 1]; ++m) {
      std::uint32_t& slot = plan.table[member_key[m] * std::size_t{rows} + row];
      if (slot == kNoMember) slot = static_cast<std::uint32_t>(m);
    }
  }
  if (options.absent == AbsentKeys::Bitmap && !build_absent_bitmap(plan, rows, info))
    return Planned::TooWide;
  info.column = static_cast<std::uint16_t>(column_index);
  plan.flattened = true;
  return Planned::Flattened;
}

bool column_qualifies(std::span<const ByteSpan> values) noexcept {
  bool any_object = false;
  for (const ByteSpan v : values) {
    if (!v.empty() && v[0] == '{') {
      any_object = true;
    } else if (!is_null(v)) {
      return false;
    }
  }
  return any_object;
}

// ---- unflattening ----

// The info of a rebuilt column (infos number at most 255), or none.
constexpr std::uint16_t kNoInfo = 0xFFFF;

struct OutputColumn {
  ByteSpan flat;                 // a column copied as it stands
  std::uint16_t info = kNoInfo;  // or a column rebuilt from sub-columns by this info
  std::size_t first_sub = 0;     // flat index of its first sub-column
  std::size_t available = 0;     // sub-columns present in the flat text
};

bool bit_set(ByteSpan bitmap, std::uint64_t index) noexcept {
  const std::uint64_t byte = index / 8;
  return byte < bitmap.size() &&
         ((bitmap[static_cast<std::size_t>(byte)] >> (index % 8)) & 1u) != 0;
}

bool is_marker(ByteSpan v) noexcept { return v.size() == 1 && v[0] == ABSENT_MARKER; }

// True when every one of the k sub-values is present and "null".
bool every_null(std::span<const ByteSpan> sub, std::size_t k) noexcept {
  if (sub.size() != k) return false;
  for (const ByteSpan v : sub) {
    if (!is_null(v)) return false;
  }
  return true;
}

// The template's pieces around the sub-values (those present).
template <class Sink>
void emit_template_form(Sink& sink, const StoredNestedInfo& info, std::span<const ByteSpan> sub) {
  const std::size_t k = info.key_count();
  sink.put(info.piece(0));
  for (std::size_t j = 0; j < k; ++j) {
    if (j < sub.size()) sink.put(sub[j]);
    sink.put(info.piece(j + 1));
  }
}

// {"key":value,...} without blanks, leaving out the members `skip` names.
template <class Sink, class Skip>
void emit_compact_form(Sink& sink, const StoredNestedInfo& info, std::span<const ByteSpan> sub,
                       Skip skip) {
  sink.put(static_cast<std::uint8_t>('{'));
  bool first = true;
  for (std::size_t j = 0; j < sub.size(); ++j) {
    if (skip(j)) continue;
    if (!first) sink.put(static_cast<std::uint8_t>(','));
    first = false;
    sink.put(static_cast<std::uint8_t>('"'));
    sink.put(info.key(j));
    sink.put(static_cast<std::uint8_t>('"'));
    sink.put(static_cast<std::uint8_t>(':'));
    sink.put(sub[j]);
  }
  sink.put(static_cast<std::uint8_t>('}'));
}

// One row of a column whose missing keys are bits of the info's bitmap.
template <class Sink>
void emit_nested_value(Sink& sink, const StoredNestedInfo& info, std::span<const ByteSpan> sub,
                       std::uint32_t rows, std::uint32_t row) {
  const std::size_t k = info.key_count();
  const ByteSpan bitmap = info.absent_bitmap();
  const bool has_bits = !bitmap.empty();
  auto absent = [&](std::size_t j) {
    return has_bits && bit_set(bitmap, static_cast<std::uint64_t>(j) * rows + row);
  };
  if (every_null(sub, k)) {
    bool null_row = true;
    for (std::size_t j = 0; j < k && has_bits && null_row; ++j) null_row = absent(j);
    if (null_row) {
      sink.put(ByteSpan(kNull, 4));
      return;
    }
  }
  bool any_absent = false;
  for (std::size_t j = 0; j < k && has_bits && !any_absent; ++j) any_absent = absent(j);
  if (!any_absent && info.piece_count() == k + 1) {
    emit_template_form(sink, info, sub);
    return;
  }
  emit_compact_form(sink, info, sub, absent);
}

// One row of a column whose missing keys are AbsentMarker sub-values.
template <class Sink>
void emit_marked_value(Sink& sink, const StoredNestedInfo& info, std::span<const ByteSpan> sub) {
  const std::size_t k = info.key_count();
  if (every_null(sub, k)) {
    sink.put(ByteSpan(kNull, 4));
    return;
  }
  if (info.piece_count() != k + 1) {
    const auto left_out = [&](std::size_t j) { return is_marker(sub[j]) || is_null(sub[j]); };
    emit_compact_form(sink, info, sub, left_out);
    return;
  }
  bool any_marker = false;
  for (const ByteSpan v : sub) any_marker = any_marker || is_marker(v);
  if (!any_marker) {
    emit_template_form(sink, info, sub);
    return;
  }
  // The pieces of the present keys only. When the first key is missing, the
  // first present key's piece loses what precedes its comma and follows the
  // template's opening brace instead.
  bool first = true;
  for (std::size_t j = 0; j < sub.size(); ++j) {
    if (is_marker(sub[j])) continue;
    const ByteSpan piece = info.piece(j);
    if (first && j > 0) {
      const ByteSpan t0 = info.piece(0);
      const auto brace = std::find(t0.begin(), t0.end(), '{');
      if (brace != t0.end()) {
        sink.put(t0.first(static_cast<std::size_t>(brace - t0.begin()) + 1));
        const auto comma = std::find(piece.begin(), piece.end(), ',');
        const std::size_t after_comma =
            comma == piece.end() ? 0 : static_cast<std::size_t>(comma - piece.begin()) + 1;
        sink.put(piece.subspan(after_comma));
      } else {
        sink.put(piece);
      }
    } else {
      sink.put(piece);
    }
    first = false;
    sink.put(sub[j]);
  }
  sink.put(info.piece(k));
}

template <class Sink>
void emit_unflattened(Sink& sink, std::span<const OutputColumn> output,
                      std::span<const ByteSpan> flat_columns, const StoredNestedInfos& infos,
                      std::uint32_t rows, AbsentKeys absent) {
  std::vector<ValueCursor> cursors;
  std::vector<ByteSpan> sub;
  for (std::size_t c = 0; c < output.size(); ++c) {
    if (c > 0) sink.put(COLUMN_SEPARATOR);
    const OutputColumn& col = output[c];
    if (col.info == kNoInfo) {
      sink.put(col.flat);
      continue;
    }
    const StoredNestedInfo info = infos[col.info];
    cursors.clear();
    for (std::size_t j = 0; j < col.available; ++j)
      cursors.emplace_back(flat_columns[col.first_sub + j]);
    sub.resize(col.available);
    for (std::uint32_t row = 0; row < rows; ++row) {
      if (row > 0) sink.put(VALUE_SEPARATOR);
      for (std::size_t j = 0; j < col.available; ++j) sub[j] = cursors[j].next();
      if (absent == AbsentKeys::Bitmap) {
        emit_nested_value(sink, info, sub, rows, row);
      } else {
        emit_marked_value(sink, info, sub);
      }
      if (sink.exceeded()) return;
    }
  }
}

void put_u16(Bytes& out, std::size_t v) { kvn::append_u16_le(out, static_cast<std::uint16_t>(v)); }

// What the walk of a serialized info list finds of one info.
struct StoredFields {
  std::uint16_t column = 0;
  std::uint16_t key_count = 0;
  std::uint16_t piece_count = 0;
  const std::uint8_t* keys = nullptr;  // the first entry's length field
  const std::uint8_t* pieces = nullptr;
  ByteSpan absent_bitmap;
};

// Reads a u16 count and that many entries (u16 length, then the bytes),
// giving `on_entry` each entry's offset from the first. False when the list
// is cut. Its entries before the last span at most 65,534 x 65,537 bytes,
// so every offset fits a u32.
template <class OnEntry>
bool walk_entry_list(kvn::ByteReader& r, std::uint16_t& count, const std::uint8_t*& first,
                     OnEntry& on_entry) {
  if (!r.read_u16(count) || !r.has(std::uint64_t{2} * count)) return false;
  first = r.rest().data();
  const std::size_t start = r.position();
  for (std::uint16_t i = 0; i < count; ++i) {
    on_entry(static_cast<std::uint32_t>(r.position() - start));
    std::uint16_t length = 0;
    if (!r.read_u16(length) || !r.skip(length)) return false;
  }
  return true;
}

// Walks a serialized info list: `on_entry` gets the offset of every key
// and piece in its list, `on_info` the fields of every info once its
// entries are walked. Gives the bytes the list uses, or nothing on a level
// byte other than 1, 2 or 3 or on any field cut short.
template <class OnInfo, class OnEntry>
std::optional<std::size_t> walk_nested_infos(ByteSpan bytes, OnInfo& on_info, OnEntry& on_entry) {
  if (bytes.size() < 2) return std::nullopt;
  const std::uint8_t level = bytes[0];
  if (level < 1 || level > 3) return std::nullopt;
  const std::uint8_t count = bytes[1];
  kvn::ByteReader r(bytes.subspan(2));
  for (std::uint8_t i = 0; i < count; ++i) {
    StoredFields info;
    if (!r.read_u16(info.column)) return std::nullopt;
    if (!walk_entry_list(r, info.key_count, info.keys, on_entry)) return std::nullopt;
    if (level >= 2 && !walk_entry_list(r, info.piece_count, info.pieces, on_entry)) {
      return std::nullopt;
    }
    if (level == 3) {
      std::uint32_t length = 0;
      if (!r.read_u32(length) || !r.read_bytes(length, info.absent_bitmap)) return std::nullopt;
    }
    on_info(info);
  }
  return 2 + r.position();
}

}  // namespace

bool parse_nested_object_kv(ByteSpan value, std::vector<NestedMember>& members) {
  return parse_object(value, members, nullptr);
}

std::optional<std::vector<NestedMember>> parse_nested_object_kv(ByteSpan value) {
  std::vector<NestedMember> members;
  if (!parse_object(value, members, nullptr)) return std::nullopt;
  return members;
}

std::optional<NestedObject> parse_nested_object_with_template(ByteSpan value) {
  NestedObject object;
  if (!parse_object(value, object.members, &object.pieces)) return std::nullopt;
  return object;
}

std::optional<FlattenedColumns> flatten_nested_columns(ByteSpan text, std::uint32_t rows,
                                                       const FlattenOptions& options) {
  if (rows == 0) return std::nullopt;
  std::vector<ByteSpan> columns;
  split(text, COLUMN_SEPARATOR, columns);
  for (const ByteSpan column : columns) {
    if (count_byte(column, VALUE_SEPARATOR) + 1 != rows) return std::nullopt;
  }

  const bool all_or_nothing = options.overflow == WidthOverflow::Decline;
  FlattenedColumns result;
  std::vector<ColumnPlan> plans(columns.size());
  std::vector<ByteSpan> values;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    ColumnPlan& plan = plans[c];
    plan.column = columns[c];
    if (result.infos.size() == kMaxNestedInfos && !all_or_nothing) continue;
    if (plan.column.empty() || (plan.column[0] != '{' && plan.column[0] != 'n')) continue;
    split(plan.column, VALUE_SEPARATOR, values);
    if (!column_qualifies(values)) continue;
    NestedGroupInfo info;
    const Planned planned = plan_nested_column(values, rows, c, options, plan, info);
    const bool too_wide = planned == Planned::TooWide ||
                          (planned == Planned::Flattened && result.infos.size() == kMaxNestedInfos);
    if (too_wide && all_or_nothing) return std::nullopt;
    if (planned == Planned::Flattened && !too_wide) {
      result.infos.push_back(std::move(info));
    } else {
      plan = ColumnPlan{};
      plan.column = columns[c];
    }
  }
  if (result.infos.empty()) return std::nullopt;

  // A null row is "null" in every sub-column; a key its object lacks is
  // "null" too (its bit tells it apart) or the AbsentMarker.
  const ByteSpan missing =
      options.absent == AbsentKeys::Bitmap ? ByteSpan(kNull, 4) : ByteSpan(&ABSENT_MARKER, 1);
  const auto sub_value = [&](const ColumnPlan& plan, std::size_t idx) {
    const std::uint32_t m = plan.table[idx];
    if (m != kNoMember) return plan.members[m].value;
    return plan.null_rows[idx % rows] ? ByteSpan(kNull, 4) : missing;
  };
  std::uint64_t total = 0;
  std::size_t output_columns = 0;
  for (const ColumnPlan& plan : plans) {
    if (!plan.flattened) {
      total += plan.column.size();
      ++output_columns;
      continue;
    }
    output_columns += plan.key_count;
    total += static_cast<std::uint64_t>(plan.key_count) * (rows - 1);
    for (std::size_t idx = 0; idx < plan.table.size(); ++idx) total += sub_value(plan, idx).size();
  }
  total += output_columns - 1;

  Bytes& out = result.text;
  out.reserve(static_cast<std::size_t>(total));
  bool first_column = true;
  for (const ColumnPlan& plan : plans) {
    if (!plan.flattened) {
      if (!first_column) out.push_back(COLUMN_SEPARATOR);
      first_column = false;
      out.insert(out.end(), plan.column.begin(), plan.column.end());
      continue;
    }
    for (std::size_t k = 0; k < plan.key_count; ++k) {
      if (!first_column) out.push_back(COLUMN_SEPARATOR);
      first_column = false;
      for (std::uint32_t row = 0; row < rows; ++row) {
        if (row > 0) out.push_back(VALUE_SEPARATOR);
        const ByteSpan v = sub_value(plan, k * rows + row);
        out.insert(out.end(), v.begin(), v.end());
      }
    }
  }
  return result;
}

Bytes unflatten_nested_columns(ByteSpan flat, const StoredNestedInfos& infos, std::uint32_t rows,
                               std::uint16_t columns, Budget budget, AbsentKeys absent) {
  auto unchanged = [&] { return budget.copy_of(flat); };
  if (count_byte(flat, COLUMN_SEPARATOR) + 1 != columns) return unchanged();
  std::vector<ByteSpan> flat_columns;
  split(flat, COLUMN_SEPARATOR, flat_columns);
  for (const ByteSpan column : flat_columns) {
    if (count_byte(column, VALUE_SEPARATOR) + 1 != rows) return unchanged();
  }
  std::uint64_t key_sum = 0;
  for (std::size_t i = 0; i < infos.size(); ++i) key_sum += infos[i].key_count();
  const std::uint64_t limit = std::uint64_t{columns} + infos.size();
  if (key_sum > limit) return unchanged();
  const std::size_t rebuilt = static_cast<std::size_t>(limit - key_sum);

  // The info of each rebuilt column (the last one naming it), or none.
  std::vector<std::uint16_t> marks(rebuilt, kNoInfo);
  for (std::size_t i = 0; i < infos.size(); ++i) {
    const std::uint16_t column = infos[i].column();
    if (column < rebuilt) marks[column] = static_cast<std::uint16_t>(i);
  }
  std::vector<OutputColumn> output;
  output.reserve(rebuilt);
  std::uint64_t nested_values = 0;
  std::size_t p = 0;
  for (std::size_t c = 0; c < rebuilt; ++c) {
    if (marks[c] == kNoInfo) {
      if (p < flat_columns.size()) output.push_back({.flat = flat_columns[p]});
      p += 1;
      continue;
    }
    const std::size_t k = infos[marks[c]].key_count();
    const std::size_t available =
        p >= flat_columns.size() ? 0 : std::min(k, flat_columns.size() - p);
    output.push_back({.info = marks[c], .first_sub = p, .available = available});
    nested_values += rows;
    p += k;
  }

  // A nested value of a stored text is at least "null"; forged templates
  // of empty pieces are charged as much, so that rows of a byte cost the
  // chain what real rows do.
  auto out = write_within_budget(
      budget, [&](auto& sink) { emit_unflattened(sink, output, flat_columns, infos, rows, absent); },
      nested_values * kShortestNestedValue);
  if (!out) return unchanged();
  return std::move(*out);
}

bool nested_infos_fit_byte_form(std::span<const NestedGroupInfo> infos) {
  return infos.size() <= kMaxNestedInfos &&
         std::all_of(infos.begin(), infos.end(), info_fits_byte_form);
}

Bytes serialize_nested_info(std::span<const NestedGroupInfo> infos) {
  NestedInfoLevel level = NestedInfoLevel::KeysOnly;
  std::size_t size = 2;
  for (const NestedGroupInfo& info : infos) {
    if (!info.absent_bitmap.empty())
      level = NestedInfoLevel::WithBitmap;
    else if (!info.template_pieces.empty() && level == NestedInfoLevel::KeysOnly)
      level = NestedInfoLevel::WithTemplate;
    size += 4 + 2 + 4 + info.absent_bitmap.size();
    for (const Bytes& key : info.keys) size += 2 + key.size();
    for (const Bytes& piece : info.template_pieces) size += 2 + piece.size();
  }
  Bytes out;
  out.reserve(size);
  out.push_back(static_cast<std::uint8_t>(level));
  out.push_back(static_cast<std::uint8_t>(infos.size()));
  for (const NestedGroupInfo& info : infos) {
    kvn::append_u16_le(out, info.column);
    put_u16(out, info.keys.size());
    for (const Bytes& key : info.keys) {
      put_u16(out, key.size());
      kvn::append_bytes(out, key);
    }
    if (level != NestedInfoLevel::KeysOnly) {
      put_u16(out, info.template_pieces.size());
      for (const Bytes& piece : info.template_pieces) {
        put_u16(out, piece.size());
        kvn::append_bytes(out, piece);
      }
    }
    if (level == NestedInfoLevel::WithBitmap) {
      kvn::append_u32_le(out, static_cast<std::uint32_t>(info.absent_bitmap.size()));
      kvn::append_bytes(out, info.absent_bitmap);
    }
  }
  return out;
}

std::optional<DeserializedNestedInfo> deserialize_nested_info(ByteSpan bytes) {
  // Walked twice: once to check every field and count the entries, then to
  // keep them, so the offsets are reserved once and exactly.
  std::size_t infos = 0;
  std::size_t entries = 0;
  auto count_info = [&](const StoredFields&) { ++infos; };
  auto count_entry = [&](std::uint32_t) { ++entries; };
  const auto used = walk_nested_infos(bytes, count_info, count_entry);
  if (!used) return std::nullopt;

  DeserializedNestedInfo result;
  result.bytes_used = *used;
  StoredNestedInfos& stored = result.infos;
  stored.records_.reserve(infos);
  stored.offsets_.reserve(entries);
  auto keep_info = [&](const StoredFields& f) {
    const std::size_t first = stored.offsets_.size() - f.key_count - f.piece_count;
    stored.records_.push_back({f.keys, f.pieces, f.absent_bitmap, static_cast<std::uint32_t>(first),
                               f.key_count, f.piece_count, f.column});
  };
  auto keep_entry = [&](std::uint32_t offset) { stored.offsets_.push_back(offset); };
  (void)walk_nested_infos(bytes, keep_info, keep_entry);  // checked above
  return result;
}

StoredNestedInfo StoredNestedInfos::operator[](std::size_t i) const noexcept {
  const Record& record = records_[i];
  StoredNestedInfo info;
  info.keys_ = record.keys;
  info.pieces_ = record.pieces;
  info.key_offsets_ = offsets_.data() + record.first_offset;
  info.piece_offsets_ = info.key_offsets_ + record.key_count;
  info.absent_bitmap_ = record.absent_bitmap;
  info.key_count_ = record.key_count;
  info.piece_count_ = record.piece_count;
  info.column_ = record.column;
  return info;
}

Bytes unflatten_nested_columns(ByteSpan flat, std::span<const NestedGroupInfo> infos,
                               std::uint32_t rows, std::uint16_t columns, Budget budget,
                               AbsentKeys absent) {
  if (!nested_infos_fit_byte_form(infos)) return budget.copy_of(flat);
  const Bytes stored = serialize_nested_info(infos);
  const auto read = deserialize_nested_info(stored);
  if (!read) return budget.copy_of(flat);
  return unflatten_nested_columns(flat, read->infos, rows, columns, budget, absent);
}

}  // namespace kelvane::format::ndjson
