// The metadata section: small chains are stored as they are, larger ones as
// one zstd frame when that is strictly smaller.
#include "codec/driver.hpp"
#include "codec/zstd_util.hpp"

namespace kelvane::codec {

namespace {
constexpr std::size_t kRawBelow = 65;
constexpr int kMetadataLevel = 19;
}  // namespace

PackedMetadata pack_metadata(kvn::ByteSpan metadata) {
  PackedMetadata packed{kvn::Bytes(metadata.begin(), metadata.end()), false};
  if (metadata.size() < kRawBelow) return packed;
  auto z = zstd_compress(metadata, kMetadataLevel);
  if (z.ok() && z->size() < metadata.size()) {
    packed.section = std::move(z).value();
    packed.zstd = true;
  }
  return packed;
}

std::uint64_t metadata_estimate(kvn::ByteSpan metadata) {
  if (metadata.size() < kRawBelow) return metadata.size();
  auto z = zstd_compress(metadata, kMetadataLevel);
  if (z.ok() && z->size() < metadata.size()) return z->size();
  return metadata.size();
}

}  // namespace kelvane::codec
