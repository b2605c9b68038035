// The "max" stream format, frozen: the coded streams of a few inputs, with
// the full-size engine and with tiny tables (where collisions and evictions
// are frequent), pinned byte for byte. Short streams are pinned whole; longer
// ones by length, CRC-32 and their first and last eight bytes. A change to
// any model, the mixer or the coder that moves one bit fails here: that is a
// format break, never mended by writing new values into this table.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cm_test_config.hpp"
#include "codec/cm_codec.hpp"
#include "codec/crc32.hpp"
#include "model/cm_config.hpp"

namespace {

namespace codec = kelvane::codec;
namespace model = kelvane::model;
using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string hex(const std::uint8_t* p, std::size_t n) {
  std::string out;
  char buf[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", p[i]);
    out += buf;
  }
  return out;
}

// What is pinned of a stream: all of it up to 32 bytes, else its length,
// CRC-32 and both ends.
std::string fingerprint(const Bytes& s) {
  if (s.size() <= 32) return hex(s.data(), s.size());
  char buf[64];
  std::snprintf(buf, sizeof buf, "%zu %08x ", s.size(), codec::crc32(s));
  return buf + hex(s.data(), 8) + ".." + hex(s.data() + s.size() - 8, 8);
}

std::string json_document() {
  std::string j = "{\n  \"name\": \"kelvane\",\n  \"tags\": [\"a\", \"b\\\"c\", \"\\u00e9\"],\n";
  j += "  \"nested\": {\"depth\": [[[1, 2.5e-3, -7]]], \"ok\": true, \"none\": null},\n";
  j += "  \"items\": [";
  for (int i = 0; i < 40; ++i) {
    j += (i ? ", " : "") + std::string("{\"id\": ") + std::to_string(i * 37) +
         ", \"label\":\"item-" + std::to_string(i % 7) + "\", \"flag\": " +
         (i % 3 ? "false" : "true") + "}";
  }
  return j + "]\n}\n";
}

std::string ndjson_lines() {
  std::string s;
  for (int i = 0; i < 60; ++i) {
    s += "{\"ts\":" + std::to_string(1700000000 + i * 13) + ",\"host\":\"10.0.0." +
         std::to_string(i % 5) + "\",\"query\":\"example" + std::to_string(i % 4) +
         ".org\",\"rcode\":" + std::to_string(i % 3) + "}\n";
  }
  return s;
}

// Runs of 0xFF and other high bytes, where the match model finds matches.
Bytes high_binary() {
  Bytes b;
  for (int round = 0; round < 6; ++round) {
    b.insert(b.end(), 200 + round * 50, 0xFF);
    for (int i = 0; i < 64; ++i) b.push_back(static_cast<std::uint8_t>(0x80 | ((i * 29) & 0x7F)));
    b.insert(b.end(), {0xFE, 0xFF, 0xFF, 0xC0, 0xFF, 0xFF, 0xFF, 0x00, 0x01});
  }
  return b;
}

// Words drawn from a fixed generator: enough distinct contexts to overflow
// tiny tables.
std::string word_soup(std::size_t n) {
  static const char* words[] = {"alpha", "beta",   "gamma", "delta", "\"key\":", "{",
                                "}",     "[1,2]",  "null",  "true",  "0.125",   "\n"};
  std::string s;
  std::uint32_t x = 1;
  while (s.size() < n) {
    x = x * 1664525u + 1013904223u;
    s += words[(x >> 24) % 12];
    s += (x >> 8) % 3 ? " " : "";
  }
  return s;
}

struct Golden {
  const char* name;
  Bytes input;
  const model::CMConfig* config;
  const char* stream;
};

TEST(CmGolden, StreamsAreFrozen) {
  static constexpr model::CMConfig tiny = kelvane::testing::kTinyConfig;
  const Golden cases[] = {
      {"empty", {}, &model::CM_CONFIG_MAX, "00000000"},
      {"one byte", {'x'}, &model::CM_CONFIG_MAX, "77145c0f00"},
      {"json document", bytes_of(json_document()), &model::CM_CONFIG_MAX, "242 66306a11 78bc1585ed254799..f3d6663bc3c09446"},
      {"ndjson lines", bytes_of(ndjson_lines()), &model::CM_CONFIG_MAX, "233 71caab22 78c76683373e5b82..f005ab5426ef66f2"},
      {"high binary", high_binary(), &model::CM_CONFIG_MAX, "103 aea37148 ffffe63814ae0000..d241147787866d21"},
      {"tiny tables", bytes_of(word_soup(60000)), &tiny, "8504 64ea3a98 69c31448577340b4..223f05b440fa8934"},
  };
  for (const auto& c : cases) {
    auto coded = codec::cm_compress(c.input, *c.config);
    ASSERT_TRUE(coded.ok()) << c.name;
    EXPECT_EQ(fingerprint(*coded), c.stream) << c.name;
    auto decoded =
        codec::cm_decompress(*coded, static_cast<std::uint32_t>(c.input.size()), *c.config);
    ASSERT_TRUE(decoded.ok()) << c.name;
    EXPECT_EQ(*decoded, c.input) << c.name;
  }
}

}  // namespace
