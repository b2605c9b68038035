// The pieces of the compression driver: zstd levels, metadata packing, the
// turbo join and the container writer.
#pragma once

#include <cstdint>
#include <optional>

#include "codec/fast_race.hpp"
#include "format/format.hpp"
#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

// The largest value of the container's 32-bit length fields.
inline constexpr std::uint64_t kMaxFieldValue = UINT32_MAX;

// zstd level for n bytes: 19 up to 16 MiB, 16 up to 64 MiB, else 9.
int default_zstd_level(std::uint64_t n) noexcept;

// 2 x n + 65536, saturating: the most a reader decodes for an n-byte input.
std::uint64_t decode_capacity_for(std::uint64_t n) noexcept;

// n + 65536, saturating: the most a reader inflates a zstd metadata section
// to for an n-byte input.
std::uint64_t metadata_capacity_for(std::uint64_t n) noexcept;

struct PackedMetadata {
  kvn::Bytes section;
  bool zstd = false;
};

// The metadata section for chain bytes M: raw below 65 bytes, else zstd at
// level 19 when that is strictly smaller.
PackedMetadata pack_metadata(kvn::ByteSpan metadata);

// The length pack_metadata would give.
std::uint64_t metadata_estimate(kvn::ByteSpan metadata);

// u32 |M|, M, T.
kvn::Bytes embedded_block(kvn::ByteSpan metadata, kvn::ByteSpan transformed);

// "fast" with turbo: zstd of T and of the input at one level, joined on the
// pool; the transformed one wins ties.
kvn::Result<CandidateResult> turbo_join(kvn::ByteSpan transformed, kvn::ByteSpan input,
                                        kvn::ByteSpan metadata,
                                        std::optional<std::int32_t> level);

// Appends the container for a chosen payload: the metadata section is packed
// from `metadata` unless the winner was made from the raw input or carries
// the metadata itself. Nothing is appended on failure.
kvn::Status write_container(kvn::ByteSpan data, std::uint8_t mode, std::uint8_t hint,
                            std::uint32_t crc, kvn::ByteSpan metadata,
                            const CandidateResult& winner, kvn::Bytes& sink);

// Everything after format::preprocess: codes T by mode and appends the
// container to `sink`. compress_with_all_options ends here; tests call it
// with hand-made transform output.
kvn::Status compress_preprocessed(kvn::ByteSpan data, std::uint8_t mode, std::uint8_t hint,
                                  std::uint32_t crc, const format::Preprocessed& pre,
                                  std::optional<std::int32_t> level, bool turbo,
                                  kvn::Bytes& sink);

}  // namespace kelvane::codec
