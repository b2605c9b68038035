// The fixed vocabulary of the .kvn container: magic, version, header size,
// flag bits, compression modes and format hints with their names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kvn/error.hpp"

namespace kelvane::kvn {

// 'K' 'V' 'N' 0x03, compared as one little-endian u32.
inline constexpr std::uint32_t KVN_MAGIC = 0x034E564Bu;
inline constexpr std::uint8_t KVN_VERSION = 3;
inline constexpr std::size_t HEADER_SIZE = 32;

inline constexpr std::uint8_t FLAG_HAS_METADATA = 0x01;
inline constexpr std::uint8_t FLAG_DICT = 0x02;
inline constexpr std::uint8_t FLAG_METADATA_ZSTD = 0x04;
inline constexpr std::uint8_t FLAG_BROTLI = 0x08;
inline constexpr std::uint8_t FLAG_EMBEDDED_METADATA = 0x10;

// The largest original size a container may declare: a 47-bit user address
// space holds no more, so a larger one can never be given back.
inline constexpr std::uint64_t kMaxOriginalSize = std::uint64_t{1} << 47;

// Top bit of the CM length prefix; never written.
inline constexpr std::uint64_t NEURAL_FLAG = std::uint64_t{1} << 63;

enum class CompressionMode : std::uint8_t { Max = 0, Balanced = 1, Fast = 2 };

// Name reported by `info`; empty for values above 2.
std::string_view mode_name(std::uint8_t mode) noexcept;

enum class FormatHint : std::uint8_t {
  Generic = 0,
  Json = 1,
  Markdown = 2,
  Ndjson = 3,
  Csv = 4,
  Code = 5,
  Log = 6,
  Logfmt = 7,
  Prometheus = 8,
  Yaml = 9,
  Xml = 10,
};

// Argument of the driver meaning "detect the format"; never stored.
inline constexpr std::uint8_t FORMAT_AUTO = 11;

// 0..10 give the hint of the same number; anything else is InvalidData
// "unknown format: {}".
Result<FormatHint> format_hint_from_u8(std::uint8_t value);

// Name of a hint ("generic", "json", ...).
std::string_view format_name(FormatHint hint) noexcept;

}  // namespace kelvane::kvn
