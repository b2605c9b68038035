// The "max" coding loops on a small engine: the stream of empty input, the
// engine's first prediction, round trips of every kind of input, and the
// decoder's behaviour on cut, foreign and empty payloads.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codec/cm_codec.hpp"
#include "cm_test_config.hpp"
#include "corpus_sample.hpp"
#include "model/cm_config.hpp"
#include "model/engine.hpp"

namespace {

namespace codec = kelvane::codec;
namespace model = kelvane::model;
using Bytes = std::vector<std::uint8_t>;

using kelvane::testing::kTinyConfig;

// Sanitizer builds check the same paths on smaller inputs.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLargeInput = 64u << 10;
constexpr std::size_t kMediumInput = 16u << 10;
#else
constexpr std::size_t kLargeInput = 2u << 20;
constexpr std::size_t kMediumInput = 100000;
#endif

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes compress(const Bytes& data) {
  auto coded = codec::cm_compress(data, kTinyConfig);
  EXPECT_TRUE(coded.ok()) << coded.error().message;
  return coded.ok() ? coded.value() : Bytes{};
}

Bytes decompress(const Bytes& stream, std::uint32_t out_len) {
  auto decoded = codec::cm_decompress(stream, out_len, kTinyConfig);
  EXPECT_TRUE(decoded.ok()) << decoded.error().message;
  return decoded.ok() ? decoded.value() : Bytes{};
}

using kelvane::testing::read_corpus_prefix;

TEST(CmCompress, EmptyInputCodesToFourZeroBytes) {
  EXPECT_EQ(compress({}), (Bytes{0, 0, 0, 0}));
}

TEST(CMEngine, CodesTheFirstBitAtEvenOdds) {
  auto engine = model::CMEngine::with_config(kTinyConfig);
  ASSERT_TRUE(engine.ok());
  EXPECT_EQ(engine->predict(), 2048u);
  for (std::int32_t x : engine->inputs().values) EXPECT_EQ(x, 0);
  // So a single byte whose first bit is 1 starts the stream at 0x80 or above.
  EXPECT_GE(compress({0xC3})[0], 0x80);
  EXPECT_LT(compress({0x43})[0], 0x80);
}

TEST(CmCodec, RoundTripsEveryKindOfInput) {
  std::mt19937 rng(7);
  Bytes random(kMediumInput);
  for (auto& b : random) b = static_cast<std::uint8_t>(rng());
  Bytes ramp(256 * 4);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i);
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text.append("The quick brown fox ").append(std::to_string(i * 7919));
    text.append(" jumps over_the lazy DOG.\n");
  }
  std::string json = "{\"items\":[";
  for (int i = 0; i < 500; ++i) {
    json.append(i ? "," : "").append("{\"id\":").append(std::to_string(i));
    json.append(",\"name\":\"n\\u00e9").append(std::to_string(i % 13));
    json.append("\",\"ok\":").append(i % 3 ? "true" : "false").append(",\"v\":null}");
  }
  json.append("]}");

  const struct {
    const char* name;
    Bytes data;
  } cases[] = {
      {"one NUL byte", {0x00}},
      {"one 0xFF byte", {0xFF}},
      {"two bytes", {'{', '}'}},
      {"every byte value, four times", ramp},
      {"random binary", random},
      {"a long run of one byte", Bytes(kLargeInput / 8, 'a')},
      {"NUL bytes (past a 16-bit count in release builds)", Bytes(kMediumInput, 0)},
      {"text", bytes_of(text)},
      {"json", bytes_of(json)},
      {"ndjson", read_corpus_prefix("zeek_dns.ndjson", kLargeInput)},
  };
  for (const auto& c : cases) {
    if (c.data.empty()) continue;  // corpus absent
    const Bytes stream = compress(c.data);
    EXPECT_EQ(decompress(stream, static_cast<std::uint32_t>(c.data.size())), c.data) << c.name;
    EXPECT_LE(c.data.size(), codec::cm_max_decoded_length(stream.size()) / 2) << c.name;
  }
}

TEST(CmCodec, CompressesRedundantInput) {
  const Bytes run(kMediumInput, 'a');
  EXPECT_LT(compress(run).size(), 400u);
  const Bytes ndjson = read_corpus_prefix("zeek_mixed.ndjson", kMediumInput);
  if (!ndjson.empty()) {
    EXPECT_LT(compress(ndjson).size(), ndjson.size() / 4);
  }
}

TEST(CmDecompress, ZeroLengthGivesNothingWhateverThePayload) {
  for (const Bytes& payload : {Bytes{}, Bytes{1, 2, 3}, Bytes(100, 0xFF)}) {
    EXPECT_TRUE(decompress(payload, 0).empty());
  }
}

TEST(CmDecompress, CutForeignOrEmptyPayloadsStillGiveTheDeclaredLength) {
  Bytes data(2000, 'x');
  for (char c : std::string("tail of the input")) data.push_back(static_cast<std::uint8_t>(c));
  const Bytes stream = compress(data);
  const Bytes cut(stream.begin(), stream.begin() + 3);
  std::mt19937 rng(3);
  Bytes noise(64);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
  for (const Bytes& payload : {cut, noise, Bytes{}}) {
    EXPECT_EQ(decompress(payload, 5000).size(), 5000u);
  }
}

TEST(CmCodec, RejectsTableSizesThatAreNotPowersOfTwo) {
  model::CMConfig bad = kTinyConfig;
  bad.word_table_size = 3000;
  for (auto result : {codec::cm_compress(bytes_of("x"), bad),
                      codec::cm_decompress(Bytes{0, 0, 0, 0}, 1, bad)}) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind, kelvane::kvn::ErrorKind::Other);
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// With the address space capped below the full-size engine, building it must
// fail with the library's out-of-memory error, not crash. Runs in a child
// process so the cap does not reach the other tests.
TEST(CmCodec, ReportsAnEngineThatDoesNotFitAsOutOfMemory) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit cap{std::size_t{256} << 20, std::size_t{256} << 20};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
    const auto coded = codec::cm_compress(bytes_of("x"), model::CM_CONFIG_MAX);
    const auto decoded = codec::cm_decompress(Bytes{0, 0, 0, 0}, 1, model::CM_CONFIG_MAX);
    const bool both_refused = !coded.ok() && !decoded.ok() &&
                              coded.error() == kelvane::kvn::other_error(kelvane::kvn::kOutOfMemory) &&
                              decoded.error() == coded.error();
    _exit(both_refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
