// Byte buffers and little-endian integers. Every length or count read from
// stored data goes through ByteReader, which refuses to read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace kelvane::kvn {

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

inline std::uint16_t load_u16_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_u32_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t load_u64_le(const std::uint8_t* p) noexcept {
  return static_cast<std::uint64_t>(load_u32_le(p)) |
         (static_cast<std::uint64_t>(load_u32_le(p + 4)) << 32);
}

inline void append_u8(Bytes& out, std::uint8_t v) { out.push_back(v); }
inline void append_u16_le(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void append_u32_le(Bytes& out, std::uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline void append_u64_le(Bytes& out, std::uint64_t v) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}
inline void append_bytes(Bytes& out, ByteSpan bytes) {
  out.insert(out.end(), bytes.begin(), bytes.end());
}

// A cursor over borrowed bytes. Every read checks the bytes present first and
// fails (returns false, leaving the cursor where it was) instead of reading
// past the end. Lengths are compared without wrap-around.
class ByteReader {
 public:
  explicit ByteReader(ByteSpan data) noexcept : data_(data) {}

  std::size_t position() const noexcept { return pos_; }
  std::size_t remaining() const noexcept { return data_.size() - pos_; }
  bool at_end() const noexcept { return pos_ == data_.size(); }
  bool has(std::uint64_t n) const noexcept { return n <= remaining(); }
  ByteSpan rest() const noexcept { return data_.subspan(pos_); }

  bool read_u8(std::uint8_t& out) noexcept {
    if (!has(1)) return false;
    out = data_[pos_++];
    return true;
  }
  bool read_u16(std::uint16_t& out) noexcept {
    if (!has(2)) return false;
    out = load_u16_le(data_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool read_u32(std::uint32_t& out) noexcept {
    if (!has(4)) return false;
    out = load_u32_le(data_.data() + pos_);
    pos_ += 4;
    return true;
  }
  bool read_u64(std::uint64_t& out) noexcept {
    if (!has(8)) return false;
    out = load_u64_le(data_.data() + pos_);
    pos_ += 8;
    return true;
  }
  // Borrows the next n bytes.
  bool read_bytes(std::uint64_t n, ByteSpan& out) noexcept {
    if (!has(n)) return false;
    out = data_.subspan(pos_, static_cast<std::size_t>(n));
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  bool skip(std::uint64_t n) noexcept {
    if (!has(n)) return false;
    pos_ += static_cast<std::size_t>(n);
    return true;
  }

 private:
  ByteSpan data_;
  std::size_t pos_ = 0;
};

}  // namespace kelvane::kvn
