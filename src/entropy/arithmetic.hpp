// The binary arithmetic coder of the context-mixing engine.
//
// A 32-bit carry-less range coder: the interval [low, high] is split at xmid
// in proportion to the probability of a 0 bit; the top byte is shifted out as
// soon as low and high agree on it. The stream is written most significant
// byte first and ends with the four bytes of the final `low`; the decoder
// needs no end marker because the caller knows how many bytes to decode.
//
// Probabilities are 12-bit: p is the probability (out of 4096) that the bit
// is 1 and must lie in 1..4095. Encoder and decoder compute xmid the same
// way, so they agree bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn/bytes.hpp"

namespace kelvane::entropy {

namespace arithmetic_detail {
// The split point for a 1-bit probability p: low + range * (4096 - p) / 4096,
// taken in two parts so that no term overflows 32 bits.
inline std::uint32_t split(std::uint32_t low, std::uint32_t high, std::uint32_t p) noexcept {
  const std::uint32_t q = 4096u - p;
  const std::uint32_t range = high - low;
  return low + (range >> 12) * q + (((range & 0xFFFu) * q) >> 12);
}
inline bool top_bytes_equal(std::uint32_t low, std::uint32_t high) noexcept {
  return (low ^ high) < (1u << 24);
}
}  // namespace arithmetic_detail

class ArithmeticEncoder {
 public:
  // Codes one bit whose probability of being 1 is p (1..4095). Appending to
  // the output may throw std::bad_alloc; callers run under kvn::guard_alloc.
  void encode(int bit, std::uint32_t p) {
    const std::uint32_t xmid = arithmetic_detail::split(low_, high_, p);
    if (bit) {
      low_ = xmid + 1;
    } else {
      high_ = xmid;
    }
    while (arithmetic_detail::top_bytes_equal(low_, high_)) {
      out_.push_back(static_cast<std::uint8_t>(low_ >> 24));
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
    }
  }

  // Appends the four bytes of `low` and hands the stream over.
  kvn::Bytes finish();

  std::uint32_t low() const noexcept { return low_; }
  std::uint32_t high() const noexcept { return high_; }

 private:
  kvn::Bytes out_;
  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0xFFFFFFFFu;
};

class ArithmeticDecoder {
 public:
  // Reads the first four bytes (missing bytes count as 0). The decoder
  // borrows `stream`, which must outlive it.
  explicit ArithmeticDecoder(kvn::ByteSpan stream) noexcept;

  // Decodes one bit coded with probability p (1..4095) of being 1. Past the
  // end of the stream it reads zero bytes, so it never fails.
  int decode(std::uint32_t p) noexcept {
    const std::uint32_t xmid = arithmetic_detail::split(low_, high_, p);
    const int bit = x_ > xmid ? 1 : 0;
    if (bit) {
      low_ = xmid + 1;
    } else {
      high_ = xmid;
    }
    while (arithmetic_detail::top_bytes_equal(low_, high_)) {
      low_ <<= 8;
      high_ = (high_ << 8) | 0xFFu;
      x_ = (x_ << 8) | next_byte();
    }
    return bit;
  }

 private:
  std::uint32_t next_byte() noexcept {
    const std::uint32_t b = pos_ < stream_.size() ? stream_[pos_] : 0u;
    ++pos_;
    return b;
  }

  kvn::ByteSpan stream_;
  std::size_t pos_ = 0;
  std::uint32_t x_ = 0;
  std::uint32_t low_ = 0;
  std::uint32_t high_ = 0xFFFFFFFFu;
};

}  // namespace kelvane::entropy
