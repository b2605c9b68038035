// Enum: a dictionary of the column's distinct values, most frequent first
// (equal counts in order of first appearance), then one index byte per value.
#include <algorithm>
#include <array>
#include <numeric>

#include "format/span_index.hpp"
#include "format/typed_encoding/column_codecs.hpp"

namespace kelvane::format::typed_encoding {

bool encode_enum_column(Values values, kvn::Bytes& out) {
  if (values.empty()) return true;
  constexpr std::size_t kMaxEntries = 255;
  SpanIndex distinct(kMaxEntries);  // ids in order of first appearance
  std::array<std::uint64_t, kMaxEntries> counts{};
  std::vector<std::uint8_t> first_seen(values.size());  // each value's id
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint32_t id = distinct.intern(values[i]);
    if (id >= kMaxEntries) return false;  // a 256th distinct value
    ++counts[id];
    first_seen[i] = static_cast<std::uint8_t>(id);
  }
  const std::size_t k = distinct.size();
  std::array<std::uint8_t, kMaxEntries> order{};  // dictionary position -> id
  std::iota(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), std::uint8_t{0});
  std::stable_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k),
                   [&](std::uint8_t a, std::uint8_t b) { return counts[a] > counts[b]; });
  std::array<std::uint8_t, kMaxEntries> position{};  // id -> dictionary position
  for (std::size_t p = 0; p < k; ++p) position[order[p]] = static_cast<std::uint8_t>(p);

  out.push_back(static_cast<std::uint8_t>(k));
  for (std::size_t p = 0; p < k; ++p) {
    const kvn::ByteSpan entry = distinct.key(order[p]);
    kvn::append_u32_le(out, static_cast<std::uint32_t>(entry.size()));
    kvn::append_bytes(out, entry);
  }
  kvn::append_u32_le(out, static_cast<std::uint32_t>(values.size()));
  const std::size_t indices = out.size();
  out.resize(indices + values.size());
  for (std::size_t i = 0; i < values.size(); ++i) out[indices + i] = position[first_seen[i]];
  return true;
}

void decode_enum_column(kvn::ByteSpan body, ValueSink& sink) {
  kvn::ByteReader in(body);
  std::uint8_t k = 0;
  if (!in.read_u8(k)) return;
  std::array<kvn::ByteSpan, 256> entries{};
  for (std::uint8_t e = 0; e < k; ++e) {
    std::uint32_t length = 0;
    if (!in.read_u32(length) || !in.read_bytes(length, entries[e])) return;
  }
  std::uint32_t count = 0;
  if (!in.read_u32(count)) return;
  const kvn::ByteSpan indices = in.rest().first(std::min<std::size_t>(count, in.remaining()));
  for (const std::uint8_t index : indices) {
    if (sink.full()) return;
    sink.value(index < k ? entries[index] : kvn::ByteSpan());
  }
}

}  // namespace kelvane::format::typed_encoding
