// History: the byte history every model of the engine reads, and the small
// classifications of it that select mixer rows and Apm rows.
//
// Per bit, after the bit is known: push_bit(bit). When it reports a complete
// byte b = completed_byte(): count_byte(b), then whatever must still see the
// old c1..c9 (the PPM byte update), then shift_byte(b). end_byte(b) does both
// halves when nothing sits between them.
#pragma once

#include <array>
#include <cstdint>

namespace kelvane::mixer {

struct History {
  std::uint32_t c0 = 1;  // 1 followed by the bits of the current byte so far (1..255)
  std::uint8_t c1 = 0;   // last whole byte
  std::uint8_t c2 = 0;
  std::uint8_t c3 = 0;
  std::uint8_t c4 = 0;
  std::uint8_t c5 = 0;
  std::uint8_t c6 = 0;
  std::uint8_t c7 = 0;
  std::uint8_t c8 = 0;
  std::uint8_t c9 = 0;
  std::uint8_t bp = 0;          // bits of the current byte already coded (0..7)
  std::uint8_t run = 0;         // times in a row the last byte was coded, saturating at 255
  std::uint16_t column = 0;     // bytes since the last LF, saturating at 65535
  std::uint16_t nul_count = 0;  // 0x00 bytes coded so far, wrapping

  // Appends a coded bit; true when it completes the byte.
  bool push_bit(std::uint32_t bit) noexcept {
    c0 = (c0 << 1) | bit;
    ++bp;
    return bp == 8;
  }

  std::uint8_t completed_byte() const noexcept { return static_cast<std::uint8_t>(c0 & 0xFF); }

  // First half of the byte end: the run, column and NUL counters.
  void count_byte(std::uint8_t b) noexcept {
    run = b == c1 ? static_cast<std::uint8_t>(run < 255 ? run + 1 : 255) : 1;
    if (b == 0x0A) {
      column = 0;
    } else {
      if (column < 65535) ++column;
      if (b == 0x00) nul_count = static_cast<std::uint16_t>(nul_count + 1);
    }
  }

  // Second half of the byte end: b becomes c1 and a new byte starts.
  void shift_byte(std::uint8_t b) noexcept {
    c9 = c8;
    c8 = c7;
    c7 = c6;
    c6 = c5;
    c5 = c4;
    c4 = c3;
    c3 = c2;
    c2 = c1;
    c1 = b;
    c0 = 1;
    bp = 0;
  }

  void end_byte(std::uint8_t b) noexcept {
    count_byte(b);
    shift_byte(b);
  }

  // c1..c9 by distance: back(1) = c1, ..., back(9) = c9; 0 for other k.
  std::uint8_t back(unsigned k) const noexcept {
    switch (k) {
      case 1: return c1;
      case 2: return c2;
      case 3: return c3;
      case 4: return c4;
      case 5: return c5;
      case 6: return c6;
      case 7: return c7;
      case 8: return c8;
      case 9: return c9;
      default: return 0;
    }
  }
};

// Twelve classes of a byte: 0 controls, 1 space, 2 digits, 3 upper case,
// 4 lower case, 5 ASCII punctuation, 6..9 the high bytes by their top bits,
// 10 0xFF, 11 DEL.
inline constexpr std::array<std::uint8_t, 256> BYTE_CLASSES = [] {
  std::array<std::uint8_t, 256> classes{};
  for (unsigned b = 0; b < 256; ++b) {
    std::uint8_t c = 5;
    if (b < 0x20) c = 0;
    else if (b == 0x20) c = 1;
    else if (b >= '0' && b <= '9') c = 2;
    else if (b >= 'A' && b <= 'Z') c = 3;
    else if (b >= 'a' && b <= 'z') c = 4;
    else if (b == 0x7F) c = 11;
    else if (b >= 0x80 && b <= 0x9F) c = 6;
    else if (b >= 0xA0 && b <= 0xBF) c = 7;
    else if (b >= 0xC0 && b <= 0xDF) c = 8;
    else if (b >= 0xE0 && b <= 0xFE) c = 9;
    else if (b == 0xFF) c = 10;
    classes[b] = c;
  }
  return classes;
}();

constexpr std::uint32_t byte_class(std::uint8_t b) noexcept { return BYTE_CLASSES[b]; }

// From the match model's current match length (0 when there is no match):
// 0 below 2, 1 for 2..7, 2 for 8..31, 3 from 32.
constexpr std::uint32_t match_bucket(std::uint32_t length) noexcept {
  if (length < 2) return 0;
  if (length < 8) return 1;
  if (length < 32) return 2;
  return 3;
}

// From the same-byte run: 0 for 0..1, 1 for 2..3, 2 for 4..8, 3 from 9.
constexpr std::uint32_t run_bucket(std::uint32_t run) noexcept {
  if (run < 2) return 0;
  if (run < 4) return 1;
  if (run < 9) return 2;
  return 3;
}

// From the column: 0 below 4, 1 for 4..15, 2 for 16..63, 3 from 64.
constexpr std::uint32_t column_bucket(std::uint32_t column) noexcept {
  if (column < 4) return 0;
  if (column < 16) return 1;
  if (column < 64) return 2;
  return 3;
}

}  // namespace kelvane::mixer
