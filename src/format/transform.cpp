#include "format/transform.hpp"

namespace kelvane::format::transform {

kvn::Bytes TransformChainView::serialize() const {
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

TransformChainView TransformChain::view() const {
  TransformChainView chain;
  chain.records.reserve(records.size());
  for (const auto& record : records) chain.records.push_back({record.kind, record.metadata});
  return chain;
}

kvn::Result<TransformChainView> TransformChain::deserialize(kvn::ByteSpan bytes) {
  TransformChainView chain;
  kvn::ByteReader reader(bytes);
  std::uint8_t count = 0;
  if (!reader.read_u8(count) || count == 0) return chain;
  chain.records.reserve(count);
  for (std::uint8_t i = 0; i < count; ++i) {
    TransformRecordView record;
    std::uint32_t length = 0;
    KVN_RETURN_ERROR_IF(!reader.has(5), InvalidData, "transform record truncated");
    (void)reader.read_u8(record.kind);
    (void)reader.read_u32(length);
    KVN_RETURN_ERROR_IF(!reader.read_bytes(length, record.metadata), InvalidData,
                        "transform metadata truncated");
    chain.records.push_back(record);
  }
  return chain;
}

}  // namespace kelvane::format::transform
