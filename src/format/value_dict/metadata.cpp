// The value dictionary's metadata: its byte form and the checked reader.
#include "format/value_dict/value_dict.hpp"

namespace kelvane::format::value_dict {

std::uint64_t ValueDictMetadata::serialized_size() const noexcept {
  std::uint64_t size = 3;
  for (const Column& column : columns) {
    size += 1;
    if (column.verbatim) continue;
    for (const kvn::ByteSpan entry : dictionary(column)) size += 4 + entry.size();
  }
  return size;
}

kvn::Bytes ValueDictMetadata::serialize() const {
  kvn::Bytes out;
  out.reserve(static_cast<std::size_t>(serialized_size()));
  kvn::append_u8(out, kMetadataVersion);
  kvn::append_u16_le(out, static_cast<std::uint16_t>(columns.size()));
  for (const Column& column : columns) {
    if (column.verbatim) {
      kvn::append_u8(out, kVerbatimMark);
      continue;
    }
    kvn::append_u8(out, static_cast<std::uint8_t>(column.size));
    for (const kvn::ByteSpan entry : dictionary(column)) {
      kvn::append_u32_le(out, static_cast<std::uint32_t>(entry.size()));
      kvn::append_bytes(out, entry);
    }
  }
  return out;
}

std::optional<StoredColumns> StoredColumns::open(kvn::ByteSpan metadata) {
  if (metadata.size() < 3) return std::nullopt;
  kvn::ByteReader reader(metadata);
  std::uint8_t version = 0;
  std::uint16_t count = 0;
  if (!reader.read_u8(version) || !reader.read_u16(count)) return std::nullopt;
  // Every column takes at least one byte.
  if (!reader.has(count)) return std::nullopt;
  const StoredColumns columns(reader, count);
  StoredColumns check = columns;
  for (std::uint16_t c = 0; c < count; ++c) {
    bool verbatim = false;
    if (!check.next(verbatim, nullptr)) return std::nullopt;
  }
  return columns;
}

bool StoredColumns::next(bool& verbatim, std::vector<kvn::ByteSpan>* entries) {
  std::uint8_t mark = 0;
  if (!reader_.read_u8(mark)) return false;
  verbatim = mark == kVerbatimMark;
  if (entries != nullptr) entries->clear();
  if (verbatim) return true;
  for (std::uint8_t e = 0; e < mark; ++e) {
    std::uint32_t length = 0;
    kvn::ByteSpan entry;
    if (!reader_.read_u32(length) || !reader_.read_bytes(length, entry)) return false;
    if (entries != nullptr) entries->push_back(entry);
  }
  return true;
}

std::optional<ValueDictMetadata> ValueDictMetadata::parse(kvn::ByteSpan metadata) {
  auto stored = StoredColumns::open(metadata);
  if (!stored) return std::nullopt;
  ValueDictMetadata out;
  out.columns.reserve(stored->count());
  std::vector<kvn::ByteSpan> entries;
  for (std::uint16_t c = 0; c < stored->count(); ++c) {
    Column column;
    (void)stored->next(column.verbatim, &entries);  // open checked every column
    if (!column.verbatim) {
      column.first = static_cast<std::uint32_t>(out.entries.size());
      column.size = static_cast<std::uint32_t>(entries.size());
      out.entries.insert(out.entries.end(), entries.begin(), entries.end());
    }
    out.columns.push_back(column);
  }
  return out;
}

}  // namespace kelvane::format::value_dict
