// "max" and "balanced" with their full-size engines: the coding loops on
// empty input, pinned "balanced" streams, and end to end through the public
// driver and reader, where every kind of input comes back byte for byte in
// both modes, a forged length prefix is refused before any engine is built,
// a damaged stream is caught by the CRC-32 check, and "balanced" does not
// look at the neural flag of the length prefix.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "codec/crc32.hpp"
#include "corpus_sample.hpp"
#include "kvn/container.hpp"
#include "model/cm_config.hpp"

namespace {

namespace codec = kelvane::codec;
namespace kvn = kelvane::kvn;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMaxMode = 0;
constexpr std::uint8_t kBalancedMode = 1;

// Inputs per mode: "balanced" spends far more per byte in its GRU, and
// sanitizer builds run it without optimisation.
std::size_t sample_size(std::uint8_t mode) {
#if defined(__SANITIZE_ADDRESS__)
  return mode == kMaxMode ? 16u << 10 : 500;
#else
  return mode == kMaxMode ? 16u << 10 : 4000;
#endif
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

using kelvane::testing::read_corpus_prefix;

Bytes compress_in(std::uint8_t mode, const Bytes& data) {
  Bytes out;
  const auto status =
      codec::compress_with_all_options(data, mode, kvn::FORMAT_AUTO, std::nullopt, false, out);
  EXPECT_TRUE(status.ok()) << status.error().message;
  return out;
}

void expect_round_trip(std::uint8_t mode, const Bytes& data, const char* name) {
  const Bytes container = compress_in(mode, data);
  auto header = codec::read_header(container);
  ASSERT_TRUE(header.ok()) << name;
  EXPECT_EQ(header->mode, mode) << name;
  auto restored = codec::decompress_from_slice(container);
  ASSERT_TRUE(restored.ok()) << name << ": " << restored.error().message;
  EXPECT_EQ(restored.value(), data) << "mode " << int{mode} << ", " << name;
}

// 0x followed by eight upper-case hexadecimal digits.
std::string hex32(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

// Where the payload, and so its 8-byte length prefix, starts.
std::size_t payload_offset(const Bytes& container) {
  auto header = codec::read_header(container);
  EXPECT_TRUE(header.ok());
  return container.size() - header->payload_length();
}

TEST(MaxCoder, EmptyInputCodesToFourZeroBytesAtFullSize) {
  auto coded = codec::cm_compress({}, kelvane::model::CM_CONFIG_MAX);
  ASSERT_TRUE(coded.ok()) << coded.error().message;
  EXPECT_EQ(coded.value(), (Bytes{0, 0, 0, 0}));
  auto decoded = codec::cm_decompress(coded.value(), 0, kelvane::model::CM_CONFIG_MAX);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_TRUE(decoded->empty());
}

// The coded streams of a few small inputs, pinned by length and CRC-32: the
// stream depends on every model of the engine and on the GRU.
TEST(BalancedCoder, PinnedStreams) {
  const struct {
    const char* name;
    Bytes data;
    std::size_t size;
    std::uint32_t crc;
  } cases[] = {
      {"empty", {}, 4, 0x2144DF1C},
      {"one byte", {'{'}, 4, 0x6B90683E},
      {"text", bytes_of("The quick brown fox jumps over the lazy dog.\n"), 41, 0x60D6A3FD},
      {"ndjson", bytes_of("{\"id\":1,\"ok\":true}\n{\"id\":2,\"ok\":false}\n{\"id\":3,\"ok\":true}\n"), 36, 0x2539D858},
  };
  for (const auto& c : cases) {
    auto coded = codec::gru_compress(c.data, kelvane::model::CM_CONFIG_BALANCED);
    ASSERT_TRUE(coded.ok()) << coded.error().message;
    EXPECT_EQ(coded->size(), c.size) << c.name;
    EXPECT_EQ(codec::crc32(*coded), c.crc) << c.name;
  }
}

TEST(CmContainer, RoundTripsEveryKindOfInputInBothModes) {
  for (const std::uint8_t mode : {kMaxMode, kBalancedMode}) {
    const std::size_t size = sample_size(mode);
    std::mt19937 rng(11);
    Bytes binary(size / 4);
    for (auto& b : binary) b = static_cast<std::uint8_t>(rng());
    std::string json = "[";
    for (int i = 0; json.size() < size / 2; ++i) {
      json.append(i ? "," : "").append("{\"id\":").append(std::to_string(i));
      json.append(",\"tag\":\"t").append(std::to_string(i % 7)).append("\"}");
    }
    json.append("]");
    std::string nested = "{\"user\":{\"name\":\"a\",\"roles\":[\"x\",\"y\"]},\"n\":1}\n";
    while (nested.size() < size / 2) nested += nested;

    const struct {
      const char* name;
      Bytes data;
    } cases[] = {
        {"empty", {}},
        {"one byte", {'x'}},
        {"binary", binary},
        {"text", bytes_of("Plain text, not JSON at all.\nSecond line.\n")},
        {"json", bytes_of(json)},
        {"nested ndjson", bytes_of(nested)},
    };
    for (const auto& c : cases) expect_round_trip(mode, c.data, c.name);
  }
}

TEST(CmContainer, RoundTripsACorpusLogInBothModes) {
  for (const std::uint8_t mode : {kMaxMode, kBalancedMode}) {
    const Bytes ndjson = read_corpus_prefix("zeek_mixed.ndjson", sample_size(mode));
    if (ndjson.empty()) GTEST_SKIP() << "corpus file zeek_mixed.ndjson absent from " KELVANE_CORPUS_DIR;
    expect_round_trip(mode, ndjson, "zeek_mixed.ndjson");
  }
}

// A flipped byte of the coded stream still decodes to the declared length,
// but to other bytes: the CRC-32 check refuses them, naming the stored value
// and that of the bytes the damaged stream gave.
TEST(CmContainer, CorruptedStreamFailsTheCrcCheckInBothModes) {
  const Bytes data = bytes_of("Plain text, which no transform rewrites: the stream is all there is.\n");
  for (const std::uint8_t mode : {kMaxMode, kBalancedMode}) {
    Bytes container = compress_in(mode, data);
    auto header = codec::read_header(container);
    ASSERT_TRUE(header.ok());
    ASSERT_EQ(header->flags, 0) << "no metadata: the decoded bytes are the result";
    const std::size_t stream_at = payload_offset(container) + 8;
    ASSERT_LT(stream_at, container.size());
    container[stream_at] ^= 0x80;

    const auto decompress = mode == kMaxMode ? codec::cm_decompress : codec::gru_decompress;
    const auto damaged = decompress(kvn::ByteSpan(container).subspan(stream_at),
                                    static_cast<std::uint32_t>(data.size()),
                                    mode == kMaxMode ? kelvane::model::CM_CONFIG_MAX
                                                     : kelvane::model::CM_CONFIG_BALANCED);
    ASSERT_TRUE(damaged.ok()) << damaged.error().message;
    ASSERT_NE(damaged.value(), data) << "the flipped byte must change the decoded bytes";

    auto result = codec::decompress_from_slice(container);
    ASSERT_FALSE(result.ok()) << int{mode};
    EXPECT_EQ(result.error(), kvn::invalid_data("CRC-32 mismatch: expected " + hex32(codec::crc32(data)) +
                                                ", got " + hex32(codec::crc32(damaged.value()))))
        << int{mode};
  }
}

// A forged length prefix is refused before any engine is built: one other
// than the declared size when no transform applied, and one the stream is
// too short to hold even when the header declares the same.
TEST(CmContainer, RefusesALengthPrefixItsStreamCannotHold) {
  for (const std::uint8_t mode : {kMaxMode, kBalancedMode}) {
    Bytes container = compress_in(mode, bytes_of("a small input"));
    const std::size_t prefix_at = payload_offset(container);
    for (std::uint32_t forged : {0xFFFFFFFFu, 1u << 20}) {
      for (int i = 0; i < 4; ++i) {
        container[prefix_at + i] = static_cast<std::uint8_t>(forged >> (8 * i));
      }
      auto result = codec::decompress_from_slice(container);
      ASSERT_FALSE(result.ok()) << int{mode} << " " << forged;
      EXPECT_EQ(result.error(), kvn::invalid_data("size mismatch: header says 13 bytes, got " +
                                                  std::to_string(forged)))
          << int{mode} << " " << forged;
      Bytes declared = container;
      for (int i = 0; i < 8; ++i) {
        declared[8 + i] = static_cast<std::uint8_t>(std::uint64_t{forged} >> (8 * i));
      }
      result = codec::decompress_from_slice(declared);
      ASSERT_FALSE(result.ok()) << int{mode} << " " << forged;
      EXPECT_EQ(result.error(), kvn::invalid_data("CM mode compressed data too short"))
          << int{mode} << " " << forged;
    }
  }
}

// A container of `mode` whose stream carries its chain (FLAG_EMBEDDED_METADATA)
// and declares `out_len` bytes: `front` is coded, and the zeros after it
// give the stream the length such a declaration needs. Decoding past
// `front` gives whatever the coder makes of the zeros.
Bytes embedded_cm_container(std::uint8_t mode, std::uint64_t original_size, const Bytes& front,
                            std::uint32_t out_len) {
  auto coded = mode == kMaxMode ? codec::cm_compress(front, kelvane::model::CM_CONFIG_MAX)
                                : codec::gru_compress(front, kelvane::model::CM_CONFIG_BALANCED);
  EXPECT_TRUE(coded.ok());
  Bytes stream = coded.ok() ? coded.value() : Bytes{};
  const std::uint64_t needed = out_len / (2 * codec::CM_BYTES_PER_STREAM_BYTE) + 1;
  if (stream.size() < needed) stream.resize(needed, 0);
  Bytes out;
  kvn::append_u32_le(out, kvn::KVN_MAGIC);
  out.push_back(kvn::KVN_VERSION);
  out.push_back(mode);
  out.push_back(0);
  out.push_back(kvn::FLAG_EMBEDDED_METADATA);
  kvn::append_u64_le(out, original_size);
  kvn::append_u64_le(out, 8 + stream.size());
  kvn::append_u32_le(out, 0);
  kvn::append_u32_le(out, 0);
  kvn::append_u32_le(out, out_len);
  kvn::append_u32_le(out, 0);
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

// The embedded chain is checked as soon as its bytes are decoded: its
// length against the block and the cap of a chain's metadata after four
// bytes, the declared length against what the chain can rebuild the
// original from after the chain. The declared lengths are the largest the
// reader lets through before decoding; without these checks each would
// decode all of them and fail on something else.
TEST(CmContainer, EmbeddedChainIsCheckedAsSoonAsItIsDecoded) {
  constexpr std::uint64_t kDeclared = 1u << 16;
  constexpr std::uint64_t kCap = kDeclared + 65536;  // what a chain's metadata may hold
  const auto largest = static_cast<std::uint32_t>(4 + kCap + 32 * kDeclared);
  const auto length_field = [](std::uint32_t meta_len, const Bytes& chain) {
    Bytes front;
    kvn::append_u32_le(front, meta_len);
    for (const std::uint8_t b : chain) front.push_back(b);
    return front;
  };
  const Bytes none;
  const Bytes unknown_record = {1, 200, 0, 0, 0, 0};  // changes nothing: the text is the original
  struct Case {
    const char* name;
    Bytes front;
    std::uint32_t out_len;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a length the block cannot hold", length_field(0xDC000000, none), largest,
       "embedded metadata: stream too short for metadata (3690987524 bytes needed, " +
           std::to_string(largest) + " available)"},
      {"a length over the cap", length_field(kCap + 1, none), largest,
       "embedded metadata: meta_len " + std::to_string(kCap + 1) + " exceeds the " +
           std::to_string(kCap) + " bytes a transform chain may hold"},
      {"a chain that rebuilds from less", length_field(6, unknown_record), largest,
       "CM stream length " + std::to_string(largest) + " exceeds the " +
           std::to_string(4 + 6 + kDeclared) +
           " bytes its transforms can rebuild the original from"},
      {"an empty chain, the text not the original", length_field(1, Bytes(1, 0)),
       static_cast<std::uint32_t>(4 + 1 + kDeclared + 1),
       "size mismatch: header says " + std::to_string(kDeclared) + " bytes, got " +
           std::to_string(kDeclared + 1)},
  };
  for (const std::uint8_t mode : {kMaxMode, kBalancedMode}) {
    for (const Case& c : cases) {
      auto result = codec::decompress_from_slice(
          embedded_cm_container(mode, kDeclared, c.front, c.out_len));
      ASSERT_FALSE(result.ok()) << int{mode} << " " << c.name;
      EXPECT_EQ(result.error().message, c.message) << int{mode} << " " << c.name;
      EXPECT_EQ(result.error().kind, kvn::ErrorKind::InvalidData) << int{mode} << " " << c.name;
    }
  }
}

TEST(BalancedContainer, DoesNotLookAtTheNeuralFlag) {
  const Bytes data = bytes_of("{\"a\":1}\n{\"a\":2}\n");
  Bytes container = compress_in(kBalancedMode, data);
  container[payload_offset(container) + 7] |= 0x80;  // bit 63 of the length prefix
  auto restored = codec::decompress_from_slice(container);
  ASSERT_TRUE(restored.ok()) << restored.error().message;
  EXPECT_EQ(restored.value(), data);
}

}  // namespace
