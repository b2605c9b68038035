#include "fsst/fsst.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kelvane::fsst {

std::optional<std::size_t> output_capacity(std::size_t code_count) noexcept {
  constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
  if (code_count > (kMax - 15) / 8) return std::nullopt;
  return code_count * 8 + 15;
}

std::optional<Decompressor> Decompressor::create(std::span<const std::uint8_t> symbols,
                                                 std::span<const std::uint8_t> lengths) noexcept {
  const std::size_t n = lengths.size();
  if (n > kMaxSymbols || symbols.size() != n * kSymbolBytes) return std::nullopt;
  // Multi-byte symbols come first, by non-decreasing length; single bytes last.
  bool single_bytes = false;
  std::uint8_t previous = 2;
  for (const std::uint8_t length : lengths) {
    if (length < 1 || length > kSymbolBytes) return std::nullopt;
    if (length == 1) {
      single_bytes = true;
    } else if (single_bytes || length < previous) {
      return std::nullopt;
    } else {
      previous = length;
    }
  }
  Decompressor table;
  table.count_ = n;
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(&table.words_[i], symbols.data() + i * kSymbolBytes, kSymbolBytes);
    table.lengths_[i] = lengths[i];
  }
  return table;
}

bool Decompressor::codes_valid(std::span<const std::uint8_t> codes) const noexcept {
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (codes[i] == kEscape) {
      if (++i == codes.size()) return false;
    } else if (codes[i] >= count_) {
      return false;
    }
  }
  return true;
}

std::size_t Decompressor::decompress_into(std::span<const std::uint8_t> codes,
                                          std::uint8_t* out) const noexcept {
  std::size_t read = 0;
  return decompress_prefix(codes, codes.size(), out, read);
}

std::size_t Decompressor::decompress_prefix(std::span<const std::uint8_t> codes,
                                            std::size_t max_codes, std::uint8_t* out,
                                            std::size_t& read) const noexcept {
  const std::uint8_t* const begin = codes.data();
  const std::uint8_t* in = begin;
  const std::uint8_t* const end = in + codes.size();
  const std::uint8_t* const stop = in + std::min(max_codes, codes.size());
  std::uint8_t* p = out;
  while (in < stop) {
    const std::uint8_t code = *in++;
    if (code != kEscape) {
      std::memcpy(p, &words_[code], kSymbolBytes);
      p += lengths_[code];
    } else if (in < end) {
      *p++ = *in++;
    }
  }
  read = static_cast<std::size_t>(in - begin);
  return static_cast<std::size_t>(p - out);
}

}  // namespace kelvane::fsst
