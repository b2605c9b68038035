// Hand-built containers and inputs for the codec tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "format/transform.hpp"
#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace kelvane::codec::test {

using kvn::Bytes;
using kvn::ByteSpan;

inline Bytes to_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

// NDJSON-like text with repeated keys and varying values.
inline Bytes log_lines(std::size_t lines, std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::string s;
  for (std::size_t i = 0; i < lines; ++i) {
    s += "{\"ts\":" + std::to_string(1700000000 + i * 7) + ",\"host\":\"web-" +
         std::to_string(rng() % 12) + "\",\"status\":" + std::to_string(200 + rng() % 5) +
         ",\"bytes\":" + std::to_string(rng() % 100000) + "}\n";
  }
  return to_bytes(s);
}

// Header fields of a hand-made container.
struct Fields {
  std::uint8_t mode = 2;
  std::uint8_t format = 0;
  std::uint8_t flags = 0;
  std::uint64_t original_size = 0;
  std::uint32_t crc = 0;
  std::uint8_t version = kvn::KVN_VERSION;
  std::uint32_t magic = kvn::KVN_MAGIC;
  std::uint64_t compressed_size_high = 0;  // bits 32-63 of compressed_size
  std::uint32_t meta_len = 0;              // written as is; 0 means |section|
};

// Header, then `section`, then `payload`, then `tail`.
inline Bytes container(const Fields& s, ByteSpan section, ByteSpan payload, ByteSpan tail = {}) {
  Bytes out;
  kvn::append_u32_le(out, s.magic);
  kvn::append_u8(out, s.version);
  kvn::append_u8(out, s.mode);
  kvn::append_u8(out, s.format);
  kvn::append_u8(out, s.flags);
  kvn::append_u64_le(out, s.original_size);
  kvn::append_u64_le(out, (s.compressed_size_high << 32) | payload.size());
  kvn::append_u32_le(out, s.crc);
  kvn::append_u32_le(out, s.meta_len != 0 ? s.meta_len : static_cast<std::uint32_t>(section.size()));
  kvn::append_bytes(out, section);
  kvn::append_bytes(out, payload);
  kvn::append_bytes(out, tail);
  return out;
}

// A container whose decoded result should be `original`.
inline Bytes container_for(ByteSpan original, std::uint8_t flags, ByteSpan section,
                           ByteSpan payload) {
  Fields s;
  s.flags = flags;
  s.original_size = original.size();
  s.crc = crc32(original);
  return container(s, section, payload);
}

// A chain of one record of a kind no transform uses: readers skip it, so
// the bytes it travels with come back unchanged.
inline Bytes opaque_chain(ByteSpan record_metadata) {
  format::transform::TransformChain chain;
  chain.records.push_back({200, Bytes(record_metadata.begin(), record_metadata.end())});
  return chain.serialize();
}

}  // namespace kelvane::codec::test
