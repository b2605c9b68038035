// The value dictionary's forward step: splitting, the per-column analysis
// and the coded text.
//
// Each column is counted in one pass over its values with a SpanIndex (views
// into the input, no copies); the pass stops as soon as a 254th distinct
// value appears, since such a column is stored unchanged whatever follows.
// The pass also records each value's id, so writing the codes needs no
// second lookup.
#include "format/value_dict/value_dict.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "format/scan.hpp"
#include "format/span_index.hpp"

namespace kelvane::format::value_dict {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

// Calls f(slice) for each stretch of `bytes` between `separator` bytes, in
// order, until f returns false.
template <class F>
void for_each_slice(ByteSpan bytes, std::uint8_t separator, F&& f) {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  for (;;) {
    const auto* sep = p == end ? nullptr
                               : static_cast<const std::uint8_t*>(
                                     std::memchr(p, separator, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = sep ? sep : end;
    if (!f(ByteSpan(p, static_cast<std::size_t>(stop - p))) || sep == nullptr) return;
    p = stop + 1;
  }
}

std::vector<ByteSpan> split(ByteSpan bytes, std::uint8_t separator) {
  std::vector<ByteSpan> out;
  out.reserve(static_cast<std::size_t>(count_byte(bytes, separator)) + 1);
  for_each_slice(bytes, separator, [&](ByteSpan slice) {
    out.push_back(slice);
    return true;
  });
  return out;
}

// One column counted: its distinct values by id (first occurrence first),
// their counts, and each value's id in column order. `index` is the
// caller's, reused from column to column.
struct ColumnCount {
  std::vector<std::uint32_t> counts;
  Bytes value_ids;  // fits a byte: a counted column has at most 253 ids
  std::uint64_t values = 0;
  bool too_many = false;  // more than kMaxEntries distinct values
};

void count_column(ByteSpan column, SpanIndex& index, ColumnCount& out) {
  index.clear();
  out.counts.clear();
  out.value_ids.clear();
  out.values = 0;
  out.too_many = false;
  for_each_slice(column, VALUE_SEPARATOR, [&](ByteSpan value) {
    const std::uint32_t id = index.intern(value);
    if (id == out.counts.size()) {
      if (id == kMaxEntries) {
        out.too_many = true;
        return false;
      }
      out.counts.push_back(0);
    }
    ++out.counts[id];
    out.value_ids.push_back(static_cast<std::uint8_t>(id));
    ++out.values;
    return true;
  });
}

// The ids of a counted column in dictionary order: highest count first,
// ties in order of first occurrence. Empty when the column is better stored
// unchanged: the entries (with their 4-byte lengths), a tenth of the column
// and two bytes per value must cost strictly less than the column itself.
std::vector<std::uint32_t> dictionary_order(ByteSpan column, const SpanIndex& index,
                                            const ColumnCount& count) {
  if (count.too_many) return {};
  std::uint64_t cost = column.size() / 10 + 2 * count.values;
  for (std::uint32_t id = 0; id < index.size(); ++id) cost += index.key(id).size() + 4;
  if (column.size() <= cost) return {};
  std::vector<std::uint32_t> order(index.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return count.counts[a] > count.counts[b];
  });
  return order;
}

}  // namespace

std::vector<ByteSpan> split_columns(ByteSpan data) { return split(data, COLUMN_SEPARATOR); }
std::vector<ByteSpan> split_values(ByteSpan column) { return split(column, VALUE_SEPARATOR); }

ColumnAnalysis analyze_column(ByteSpan column) {
  SpanIndex index(kMaxEntries + 1);
  ColumnCount count;
  count_column(column, index, count);
  ColumnAnalysis out;
  for (const std::uint32_t id : dictionary_order(column, index, count)) {
    out.dictionary.push_back(index.key(id));
  }
  out.uses_dictionary = !out.dictionary.empty();
  return out;
}

std::optional<Transformed> preprocess(ByteSpan data) {
  if (data.empty() || count_byte(data, COLUMN_SEPARATOR) + 1 > kMaxColumns) return std::nullopt;
  const std::vector<ByteSpan> columns = split_columns(data);

  ValueDictMetadata metadata;
  metadata.columns.resize(columns.size());
  Bytes codes;  // every dictionary column's codes, one byte per value, in order
  std::vector<std::uint64_t> values_of(columns.size(), 0);  // of the dictionary columns
  std::uint64_t text_size = columns.size() - 1;
  bool any_dictionary = false;
  SpanIndex index(kMaxEntries + 1);
  ColumnCount count;
  std::uint8_t code_of_id[kMaxEntries];
  for (std::size_t c = 0; c < columns.size(); ++c) {
    count_column(columns[c], index, count);
    const std::vector<std::uint32_t> order = dictionary_order(columns[c], index, count);
    if (order.empty()) {
      text_size += columns[c].size();
      continue;
    }
    any_dictionary = true;
    auto& column = metadata.columns[c];
    column.verbatim = false;
    column.first = static_cast<std::uint32_t>(metadata.entries.size());
    column.size = static_cast<std::uint32_t>(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
      metadata.entries.push_back(index.key(order[i]));
      code_of_id[order[i]] = static_cast<std::uint8_t>(kFirstCode + i);
    }
    for (const std::uint8_t id : count.value_ids) codes.push_back(code_of_id[id]);
    values_of[c] = count.values;
    text_size += 2 * count.values - 1;
  }
  if (!any_dictionary) return std::nullopt;
  const std::uint64_t metadata_size = metadata.serialized_size();
  if (metadata_size + text_size >= data.size()) return std::nullopt;

  Transformed out;
  out.metadata = metadata.serialize();
  out.text.resize(static_cast<std::size_t>(text_size));
  std::uint8_t* w = out.text.data();
  const std::uint8_t* code = codes.data();
  for (std::size_t c = 0; c < columns.size(); ++c) {
    if (c != 0) *w++ = COLUMN_SEPARATOR;
    const auto& column = metadata.columns[c];
    if (column.verbatim) {
      if (!columns[c].empty()) std::memcpy(w, columns[c].data(), columns[c].size());
      w += columns[c].size();
      continue;
    }
    for (std::uint64_t v = 0; v < values_of[c]; ++v) {
      if (v != 0) *w++ = VALUE_SEPARATOR;
      *w++ = *code++;
    }
  }
  return out;
}

}  // namespace kelvane::format::value_dict
