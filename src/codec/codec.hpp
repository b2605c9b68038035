// The public face of the library: compress into a .kvn container, read one
// back, and the format detection both the driver and the binding use.
#pragma once

#include <cstdint>
#include <optional>

#include "kvn/bytes.hpp"
#include "kvn/container.hpp"
#include "kvn/error.hpp"

namespace kelvane::codec {

using kvn::Bytes;
using kvn::ByteSpan;
using kvn::CodecError;
using kvn::Result;
using kvn::Status;

// The header fields the reader keeps after checking them (steps 1-5).
struct ContainerHeader {
  std::uint8_t mode = 0;
  kvn::FormatHint format = kvn::FormatHint::Generic;
  std::uint8_t flags = 0;
  std::uint64_t original_size = 0;
  std::uint64_t compressed_size = 0;
  std::uint32_t crc32 = 0;
  std::uint32_t meta_len = 0;

  bool dict() const noexcept { return (flags & kvn::FLAG_DICT) != 0; }
  bool metadata_zstd() const noexcept { return (flags & kvn::FLAG_METADATA_ZSTD) != 0; }
  bool brotli() const noexcept { return (flags & kvn::FLAG_BROTLI) != 0; }
  bool embedded() const noexcept { return (flags & kvn::FLAG_EMBEDDED_METADATA) != 0; }
  // Length of the metadata section that follows the header (0 when none).
  std::uint32_t section_length() const noexcept {
    return (flags & kvn::FLAG_HAS_METADATA) != 0 ? meta_len : 0;
  }
  // Length of the payload: the low 32 bits of compressed_size.
  std::uint32_t payload_length() const noexcept {
    return static_cast<std::uint32_t>(compressed_size);
  }
  // 2 x original_size + 65536, saturating.
  std::uint64_t decode_capacity() const noexcept;
  // original_size + 65536, saturating: the most a zstd metadata section
  // inflates to. A chain's metadata never holds more than the input it
  // describes and a small constant.
  std::uint64_t metadata_capacity() const noexcept;
};

// Checks and parses the first 32 bytes: size, magic, version, mode, format.
Result<ContainerHeader> read_header(ByteSpan data);

// A checked container: header, then the metadata section and the payload
// borrowed from the input.
struct ContainerView {
  ContainerHeader header;
  ByteSpan metadata;
  ByteSpan payload;
};

// Steps 1-7 of reading: header checks, then the sections cut out of the input.
Result<ContainerView> parse_container(ByteSpan data);

// Steps 8-12: decode the payload, split off and apply the metadata, verify
// CRC-32 and length.
Result<Bytes> decompress_with_model(const ContainerHeader& header, ByteSpan metadata,
                                    ByteSpan payload);

// Reads a whole container held in memory.
Result<Bytes> decompress_from_slice(ByteSpan data);

// Compresses `data` into one container appended to `sink`. `format` is a
// FormatHint value or kvn::FORMAT_AUTO. On failure the sink is left as it was.
Status compress_with_all_options(ByteSpan data, std::uint8_t mode, std::uint8_t format,
                                 std::optional<std::int32_t> level, bool turbo, Bytes& sink);

// Generic, Json or Ndjson, by looking at the input.
kvn::FormatHint auto_detect_format(ByteSpan data) noexcept;

}  // namespace kelvane::codec
