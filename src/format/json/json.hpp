// The key dictionary: the fallback for JSON and NDJSON that no columnar
// layout takes, in "max" and "balanced". Every object key (a string followed,
// after blanks, by ':') that occurs at least twice goes into a dictionary in
// the metadata, and each of its occurrences, quotes included, becomes a token
// introduced by byte 0x00:
//
//   0x00 i               key i, for i <= 252
//   0x00 0xFD u16 i      key i, for i >= 253
//   0x00 0xFE            one literal 0x00 byte of the input
//
// Everything else stays as the document's own text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::json {

inline constexpr std::uint8_t kTokenStart = 0x00;
inline constexpr std::uint8_t kWideToken = 0xFD;
inline constexpr std::uint8_t kLiteralZero = 0xFE;
inline constexpr std::size_t kShortTokenKeys = 253;  // indices 0 to 252 take one byte
inline constexpr std::uint8_t kMetadataVersion = 1;
// Key count, wide index and key length are 16-bit: longer keys stay in the
// text, and keys past the 65,535th (by count) stay in the text too.
inline constexpr std::size_t kMaxKeys = 0xFFFF;
inline constexpr std::size_t kMaxKeyLength = 0xFFFF;

// One key found in the text: its bytes between the quotes (escapes as
// written), the position of its opening quote and the position just after
// its closing quote.
struct KeyOccurrence {
  kvn::ByteSpan key;
  std::size_t start = 0;
  std::size_t end = 0;
};

// Every key in text order. Strings are skipped whole, so text inside a value
// is never taken for a key; a string left open ends the scan.
std::vector<KeyOccurrence> find_keys(kvn::ByteSpan data);

// The keys that occur at least twice, by count (highest first), equal counts
// by their bytes in ascending order, within the limits above.
std::vector<kvn::ByteSpan> build_dictionary(std::span<const KeyOccurrence> occurrences);

struct Transformed {
  kvn::Bytes text;
  kvn::Bytes metadata;  // 1, key count (u16), each key as u16 length + bytes
};

// Forward step. Declines when no key occurs twice or the text does not get
// shorter (the metadata does not count).
std::optional<Transformed> preprocess(kvn::ByteSpan data);

// Reverse step; never fails. Tokens whose index has no key, cut tokens and a
// trailing 0x00 give nothing; metadata cut short gives the keys read so far.
// A rebuilt text longer than `budget` bytes gives back a copy of `data`.
kvn::Bytes reverse(kvn::ByteSpan data, kvn::ByteSpan metadata, Budget budget);

}  // namespace kelvane::format::json
