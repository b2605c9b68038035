#include "format/transform.hpp"

namespace kelvane::format::transform {

kvn::Bytes TransformChain::serialize() const {
  std::size_t size = 1;
  for (const auto& record : records) size += 5 + record.metadata.size();
  kvn::Bytes out;
  out.reserve(size);
  kvn::append_u8(out, static_cast<std::uint8_t>(records.size()));
  for (const auto& record : records) {
    kvn::append_u8(out, record.kind);
    kvn::append_u32_le(out, static_cast<std::uint32_t>(record.metadata.size()));
    kvn::append_bytes(out, record.metadata);
  }
  return out;
}

kvn::Result<TransformChain> TransformChain::deserialize(kvn::ByteSpan bytes) {
  TransformChain chain;
  kvn::ByteReader reader(bytes);
  std::uint8_t count = 0;
  if (!reader.read_u8(count) || count == 0) return chain;
  chain.records.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    TransformRecord record;
    std::uint32_t length = 0;
    KVN_RETURN_ERROR_IF(!reader.has(5), InvalidData, "transform record truncated");
    (void)reader.read_u8(record.kind);
    (void)reader.read_u32(length);
    kvn::ByteSpan metadata;
    KVN_RETURN_ERROR_IF(!reader.read_bytes(length, metadata), InvalidData,
                        "transform metadata truncated");
    record.metadata.assign(metadata.begin(), metadata.end());
    chain.records.push_back(std::move(record));
  }
  return chain;
}

}  // namespace kelvane::format::transform
