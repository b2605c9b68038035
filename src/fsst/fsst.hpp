// FSST string decoding. A static table of up to 255 symbols, each one to
// eight bytes long, turns code bytes back into text: a code below the symbol
// count stands for its symbol, and the escape code 255 makes the byte after
// it stand for itself.
//
// Memory: the table holds every symbol as one 8-byte word (2 KiB in all).
// Call order: create() checks and loads a stored table; codes_valid() checks
// a value's codes; decompress_into() then decodes them into a buffer of at
// least output_capacity() bytes, writing each symbol as one 8-byte store.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kelvane::fsst {

inline constexpr std::uint8_t kEscape = 255;
inline constexpr std::size_t kMaxSymbols = 255;
inline constexpr std::size_t kSymbolBytes = 8;  // stored width of every symbol

// The bytes decompress_into may touch for `code_count` codes: at most eight
// per code, plus the tail of the last 8-byte store (8 x L + 15). Nothing when
// that does not fit in size_t.
std::optional<std::size_t> output_capacity(std::size_t code_count) noexcept;

class Decompressor {
 public:
  // Loads `lengths.size()` symbols from `symbols` (8 bytes each, symbol i
  // being the first lengths[i] bytes of its 8). Nothing when the table is
  // not one an encoder writes: more than 255 symbols, `symbols` not 8 bytes
  // per length, a length outside 1..8, or lengths that are not a
  // non-decreasing run of lengths 2 to 8 followed by a run of length 1
  // (either run may be empty).
  static std::optional<Decompressor> create(std::span<const std::uint8_t> symbols,
                                            std::span<const std::uint8_t> lengths) noexcept;

  std::size_t symbol_count() const noexcept { return count_; }

  // True when every code names a symbol or is an escape followed by a byte.
  bool codes_valid(std::span<const std::uint8_t> codes) const noexcept;

  // Decodes `codes` into `out` and returns the number of bytes written (at
  // most 8 per code); the bytes past it are scratch. `out` must hold
  // output_capacity(codes.size()) bytes. Codes that codes_valid() refuses
  // write nothing: a code without a symbol stands for no bytes, and an
  // escape at the very end is dropped.
  std::size_t decompress_into(std::span<const std::uint8_t> codes, std::uint8_t* out) const noexcept;

  // The same over the front of `codes`: decodes until at least `max_codes`
  // of them are read or they end (an escape is never parted from its
  // byte), sets `read` to the number read and returns the bytes written.
  // `out` must hold output_capacity(max_codes) bytes. Decoding a long value
  // piece by piece keeps the buffer small, whatever the value's length.
  std::size_t decompress_prefix(std::span<const std::uint8_t> codes, std::size_t max_codes,
                                std::uint8_t* out, std::size_t& read) const noexcept;

 private:
  Decompressor() = default;

  std::array<std::uint64_t, 256> words_{};  // symbol bytes in memory order; 0 where no symbol
  std::array<std::uint8_t, 256> lengths_{};  // 0 for codes without a symbol
  std::size_t count_ = 0;
};

}  // namespace kelvane::fsst
