// compress_with_all_options: resolve the format, checksum, transform, code
// by mode, then write header, metadata section and payload to the sink.
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "codec/driver.hpp"
#include "kvn/container.hpp"
#include "model/cm_config.hpp"

namespace kelvane::codec {

namespace {

constexpr std::uint64_t k16MiB = 16777216;
constexpr std::uint64_t k64MiB = 67108864;
constexpr std::uint8_t kModeFast = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);

kvn::CodecError too_large(const char* what, std::uint64_t n) {
  return kvn::other_error(std::string(what) + " of " + std::to_string(n) +
                          " bytes does not fit a .kvn container (at most 4294967295 bytes)");
}

// Modes 0 and 1: the length prefix, then the context-mixing stream.
Result<Bytes> code_cm(std::uint8_t mode, ByteSpan transformed) {
  if (transformed.size() > kMaxFieldValue) return too_large("transformed input", transformed.size());
  KVN_ASSIGN_OR_RETURN(Bytes stream, mode == 0
                                         ? cm_compress(transformed, model::CM_CONFIG_MAX)
                                         : gru_compress(transformed, model::CM_CONFIG_BALANCED));
  Bytes payload;
  payload.reserve(8 + stream.size());
  kvn::append_u32_le(payload, static_cast<std::uint32_t>(transformed.size()));
  kvn::append_u32_le(payload, 0);
  kvn::append_bytes(payload, stream);
  return payload;
}

Status compress_guarded(ByteSpan data, std::uint8_t mode, std::uint8_t format,
                        std::optional<std::int32_t> level, bool turbo, Bytes& sink) {
  KVN_RETURN_ERROR_IF(mode > kModeFast, Other, "unknown mode: " + std::to_string(mode));
  KVN_RETURN_ERROR_IF(format > kvn::FORMAT_AUTO, Other, "unknown format: " + std::to_string(format));
  const std::uint8_t hint =
      format == kvn::FORMAT_AUTO ? static_cast<std::uint8_t>(auto_detect_format(data)) : format;
  if (data.size() > kMaxFieldValue) return too_large("input", data.size());
  const std::uint32_t crc = crc32(data);
  const format::Preprocessed pre = format::preprocess(data, hint, mode);
  return compress_preprocessed(data, mode, hint, crc, pre, level, turbo, sink);
}

}  // namespace

int default_zstd_level(std::uint64_t n) noexcept {
  if (n <= k16MiB) return 19;
  if (n <= k64MiB) return 16;
  return 9;
}

std::uint64_t decode_capacity_for(std::uint64_t n) noexcept {
  ContainerHeader header;
  header.original_size = n;
  return header.decode_capacity();
}

std::uint64_t metadata_capacity_for(std::uint64_t n) noexcept {
  ContainerHeader header;
  header.original_size = n;
  return header.metadata_capacity();
}

Bytes embedded_block(ByteSpan metadata, ByteSpan transformed) {
  Bytes block;
  block.reserve(4 + metadata.size() + transformed.size());
  kvn::append_u32_le(block, static_cast<std::uint32_t>(metadata.size()));
  kvn::append_bytes(block, metadata);
  kvn::append_bytes(block, transformed);
  return block;
}

Status compress_preprocessed(ByteSpan data, std::uint8_t mode, std::uint8_t hint,
                             std::uint32_t crc, const format::Preprocessed& pre,
                             std::optional<std::int32_t> level, bool turbo, Bytes& sink) {
  const Bytes metadata = pre.chain.empty() ? Bytes() : pre.chain.serialize();
  const ByteSpan transformed = pre.data;

  CandidateResult winner;
  if (mode < kModeFast) {
    KVN_ASSIGN_OR_RETURN(winner.payload, code_cm(mode, transformed));
  } else if (turbo) {
    KVN_ASSIGN_OR_RETURN(winner, turbo_join(transformed, data, metadata, level));
  } else {
    KVN_ASSIGN_OR_RETURN(winner, fast_race(transformed, data, metadata, level));
  }
  return write_container(data, mode, hint, crc, metadata, winner, sink);
}

Status write_container(ByteSpan data, std::uint8_t mode, std::uint8_t hint, std::uint32_t crc,
                       ByteSpan metadata, const CandidateResult& winner, Bytes& sink) {
  if (data.size() > kMaxFieldValue) return too_large("input", data.size());
  PackedMetadata section;
  if (!winner.raw && !winner.embedded) section = pack_metadata(metadata);
  // The reader inflates a zstd section into at most the metadata capacity;
  // past that the chain is stored as it is.
  if (section.zstd && metadata.size() > metadata_capacity_for(data.size())) {
    section = PackedMetadata{Bytes(metadata.begin(), metadata.end()), false};
  }
  if (section.section.size() > kMaxFieldValue) return too_large("metadata", section.section.size());
  if (winner.payload.size() > kMaxFieldValue) return too_large("payload", winner.payload.size());

  std::uint8_t flags = 0;
  if (!section.section.empty()) flags |= kvn::FLAG_HAS_METADATA;
  if (winner.dict) flags |= kvn::FLAG_DICT;
  if (section.zstd) flags |= kvn::FLAG_METADATA_ZSTD;
  if (winner.brotli) flags |= kvn::FLAG_BROTLI;
  if (winner.embedded) flags |= kvn::FLAG_EMBEDDED_METADATA;

  // Reserve first so that the appends below cannot fail half-way.
  sink.reserve(sink.size() + kvn::HEADER_SIZE + section.section.size() + winner.payload.size());
  kvn::append_u32_le(sink, kvn::KVN_MAGIC);
  kvn::append_u8(sink, kvn::KVN_VERSION);
  kvn::append_u8(sink, mode);
  kvn::append_u8(sink, hint);
  kvn::append_u8(sink, flags);
  kvn::append_u64_le(sink, data.size());
  kvn::append_u64_le(sink, winner.payload.size());
  kvn::append_u32_le(sink, crc);
  kvn::append_u32_le(sink, static_cast<std::uint32_t>(section.section.size()));
  kvn::append_bytes(sink, section.section);
  kvn::append_bytes(sink, winner.payload);
  return {};
}

Status compress_with_all_options(ByteSpan data, std::uint8_t mode, std::uint8_t format,
                                 std::optional<std::int32_t> level, bool turbo, Bytes& sink) {
  return kvn::guard_alloc([&]() -> Status {
    try {
      return compress_guarded(data, mode, format, level, turbo, sink);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::length_error&) {
      throw;
    } catch (const std::exception& e) {
      // The pool's threads or locks could not be set up.
      return kvn::other_error(e.what());
    }
  });
}

}  // namespace kelvane::codec
