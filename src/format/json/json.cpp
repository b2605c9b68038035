// The key dictionary's forward step: the key scan, the dictionary and the
// tokenised text.
//
// The text is scanned twice and no list of occurrences is kept: the first
// scan counts the keys with a SpanIndex over views into the input, the
// second writes the text, looking each key up in the same index.
#include "format/json/json.hpp"

#include <algorithm>
#include <cstring>

#include "format/scan.hpp"
#include "format/span_index.hpp"

namespace kelvane::format::json {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

constexpr std::uint32_t kNotKept = UINT32_MAX;

struct KeyCounts {
  SpanIndex index;
  std::vector<std::uint32_t> counts;  // by id

  void add(ByteSpan key) {
    const std::uint32_t id = index.intern(key);
    if (id == counts.size()) counts.push_back(0);
    ++counts[id];
  }
};

// Calls f(occurrence) for every key in text order: a string followed, after
// blanks, by ':'. Strings are passed over whole; one left open ends the scan.
template <class F>
void for_each_key(ByteSpan data, F&& f) {
  const std::size_t size = data.size();
  std::size_t pos = 0;
  while (pos < size) {
    const auto* quote =
        static_cast<const std::uint8_t*>(std::memchr(data.data() + pos, '"', size - pos));
    if (quote == nullptr) return;
    const auto start = static_cast<std::size_t>(quote - data.data());
    const std::size_t end = find_string_end(data, start);
    if (end == kStringNotClosed) return;
    const std::size_t after = skip_blanks(data, end);
    if (after < size && data[after] == ':') f(KeyOccurrence{data.subspan(start + 1, end - start - 2), start, end});
    pos = end;
  }
}

// The ids of the dictionary's keys in index order.
std::vector<std::uint32_t> dictionary_ids(const KeyCounts& counts) {
  std::vector<std::uint32_t> kept;
  for (std::uint32_t id = 0; id < counts.counts.size(); ++id) {
    if (counts.counts[id] >= 2 && counts.index.key(id).size() <= kMaxKeyLength) kept.push_back(id);
  }
  // A total order (distinct keys never compare equal), so the dictionary is
  // the same on every run.
  std::sort(kept.begin(), kept.end(), [&](std::uint32_t a, std::uint32_t b) {
    if (counts.counts[a] != counts.counts[b]) return counts.counts[a] > counts.counts[b];
    return std::ranges::lexicographical_compare(counts.index.key(a), counts.index.key(b));
  });
  if (kept.size() > kMaxKeys) kept.resize(kMaxKeys);
  return kept;
}

// Appends `bytes`, each 0x00 written as the literal-zero token.
void append_escaped(Bytes& out, ByteSpan bytes) {
  const std::uint8_t* p = bytes.data();
  const std::uint8_t* const end = p + bytes.size();
  while (p != end) {
    const auto* zero = static_cast<const std::uint8_t*>(
        std::memchr(p, kTokenStart, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = zero ? zero : end;
    out.insert(out.end(), p, stop);
    if (zero == nullptr) return;
    out.push_back(kTokenStart);
    out.push_back(kLiteralZero);
    p = zero + 1;
  }
}

void append_token(Bytes& out, std::uint32_t index) {
  out.push_back(kTokenStart);
  if (index < kShortTokenKeys) {
    out.push_back(static_cast<std::uint8_t>(index));
  } else {
    out.push_back(kWideToken);
    kvn::append_u16_le(out, static_cast<std::uint16_t>(index));
  }
}

}  // namespace

std::vector<KeyOccurrence> find_keys(ByteSpan data) {
  std::vector<KeyOccurrence> out;
  for_each_key(data, [&](const KeyOccurrence& occurrence) { out.push_back(occurrence); });
  return out;
}

std::vector<ByteSpan> build_dictionary(std::span<const KeyOccurrence> occurrences) {
  KeyCounts counts;
  for (const KeyOccurrence& occurrence : occurrences) counts.add(occurrence.key);
  std::vector<ByteSpan> keys;
  for (const std::uint32_t id : dictionary_ids(counts)) keys.push_back(counts.index.key(id));
  return keys;
}

std::optional<Transformed> preprocess(ByteSpan data) {
  KeyCounts counts;
  for_each_key(data, [&](const KeyOccurrence& occurrence) { counts.add(occurrence.key); });
  const std::vector<std::uint32_t> kept = dictionary_ids(counts);
  if (kept.empty()) return std::nullopt;

  std::vector<std::uint32_t> index_of_id(counts.counts.size(), kNotKept);
  for (std::uint32_t i = 0; i < kept.size(); ++i) index_of_id[kept[i]] = i;

  Transformed out;
  out.text.reserve(data.size());
  std::size_t copied = 0;
  for_each_key(data, [&](const KeyOccurrence& occurrence) {
    const std::uint32_t index = index_of_id[counts.index.find(occurrence.key)];
    if (index == kNotKept) return;
    append_escaped(out.text, data.subspan(copied, occurrence.start - copied));
    append_token(out.text, index);
    copied = occurrence.end;
  });
  append_escaped(out.text, data.subspan(copied));
  if (out.text.size() >= data.size()) return std::nullopt;

  std::size_t metadata_size = 3;
  for (const std::uint32_t id : kept) metadata_size += 2 + counts.index.key(id).size();
  out.metadata.reserve(metadata_size);
  kvn::append_u8(out.metadata, kMetadataVersion);
  kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(kept.size()));
  for (const std::uint32_t id : kept) {
    const ByteSpan key = counts.index.key(id);
    kvn::append_u16_le(out.metadata, static_cast<std::uint16_t>(key.size()));
    kvn::append_bytes(out.metadata, key);
  }
  return out;
}

}  // namespace kelvane::format::json
