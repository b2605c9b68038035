// "max" mode with the full-size engine: the coding loops on empty input, and
// end to end through the public driver and reader, where every kind of input
// comes back byte for byte and a forged length prefix is refused before any
// engine is built.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "codec/cm_codec.hpp"
#include "codec/codec.hpp"
#include "corpus_sample.hpp"
#include "kvn/container.hpp"
#include "model/cm_config.hpp"

namespace {

namespace codec = kelvane::codec;
namespace kvn = kelvane::kvn;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMaxMode = 0;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

using kelvane::testing::read_corpus_prefix;

Bytes compress_max(const Bytes& data) {
  Bytes out;
  const auto status =
      codec::compress_with_all_options(data, kMaxMode, kvn::FORMAT_AUTO, std::nullopt, false, out);
  EXPECT_TRUE(status.ok()) << status.error().message;
  return out;
}

TEST(MaxCoder, EmptyInputCodesToFourZeroBytesAtFullSize) {
  auto coded = codec::cm_compress({}, kelvane::model::CM_CONFIG_MAX);
  ASSERT_TRUE(coded.ok()) << coded.error().message;
  EXPECT_EQ(coded.value(), (Bytes{0, 0, 0, 0}));
  auto decoded = codec::cm_decompress(coded.value(), 0, kelvane::model::CM_CONFIG_MAX);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message;
  EXPECT_TRUE(decoded->empty());
}

TEST(MaxContainer, RoundTripsEveryKindOfInput) {
  std::mt19937 rng(11);
  Bytes binary(4000);
  for (auto& b : binary) b = static_cast<std::uint8_t>(rng());
  std::string json = "[";
  for (int i = 0; i < 200; ++i) {
    json.append(i ? "," : "").append("{\"id\":").append(std::to_string(i));
    json.append(",\"tag\":\"t").append(std::to_string(i % 7)).append("\"}");
  }
  json.append("]");

  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"empty", {}},
      {"one byte", {'x'}},
      {"binary", binary},
      {"text", bytes_of("Plain text, not JSON at all.\nSecond line.\n")},
      {"json", bytes_of(json)},
      {"ndjson", read_corpus_prefix("zeek_mixed.ndjson", 16u << 10)},
  };
  for (const auto& c : cases) {
    if (std::string(c.name) == "ndjson" && c.data.empty()) continue;  // corpus absent
    const Bytes container = compress_max(c.data);
    auto header = codec::read_header(container);
    ASSERT_TRUE(header.ok()) << c.name;
    EXPECT_EQ(header->mode, kMaxMode) << c.name;
    auto restored = codec::decompress_from_slice(container);
    ASSERT_TRUE(restored.ok()) << c.name << ": " << restored.error().message;
    EXPECT_EQ(restored.value(), c.data) << c.name;
  }
}

TEST(MaxContainer, RefusesALengthPrefixItsStreamCannotHold) {
  Bytes container = compress_max(bytes_of("a small input"));
  auto header = codec::read_header(container);
  ASSERT_TRUE(header.ok());
  // The payload is the last part of the container: an 8-byte length prefix
  // (u32 length, then u32 0), then the coded stream.
  const std::size_t prefix_at = container.size() - header->payload_length();
  for (std::uint32_t forged : {0xFFFFFFFFu, 1u << 20}) {
    for (int i = 0; i < 4; ++i) {
      container[prefix_at + i] = static_cast<std::uint8_t>(forged >> (8 * i));
    }
    auto result = codec::decompress_from_slice(container);
    ASSERT_FALSE(result.ok()) << forged;
    EXPECT_EQ(result.error(), kvn::invalid_data("CM mode compressed data too short")) << forged;
  }
}

}  // namespace
