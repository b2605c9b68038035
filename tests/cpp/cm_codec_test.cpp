// The coding loops of "max" and "balanced" on a small engine: the stream of
// empty input, the engine's first prediction, round trips of every kind of
// input, the decoder's behaviour on cut, foreign and empty payloads, and
// memory that cannot be had.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
namespace kvn = kelvane::kvn;
using Bytes = std::vector<std::uint8_t>;

using kelvane::testing::kTinyConfig;
using kelvane::testing::read_corpus_prefix;

// Sanitizer builds check the same paths on smaller inputs.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kLargeInput = 64u << 10;
constexpr std::size_t kMediumInput = 16u << 10;
#else
constexpr std::size_t kLargeInput = 2u << 20;
constexpr std::size_t kMediumInput = 100000;
#endif

// One mode's loops, and the input sizes its tests can afford: "balanced"
// spends about a hundred times more per byte in its GRU.
struct Loops {
  const char* mode;
  kvn::Result<Bytes> (*compress)(kvn::ByteSpan, const model::CMConfig&);
  kvn::Result<Bytes> (*decompress)(kvn::ByteSpan, std::uint32_t, const model::CMConfig&);
  model::CMConfig full_size;
  std::size_t medium;
  std::size_t large;

  Bytes coded(const Bytes& data) const {
    auto result = compress(data, kTinyConfig);
    EXPECT_TRUE(result.ok()) << mode << ": " << result.error().message;
    return result.ok() ? result.value() : Bytes{};
  }
  Bytes decoded(const Bytes& stream, std::uint32_t out_len) const {
    auto result = decompress(stream, out_len, kTinyConfig);
    EXPECT_TRUE(result.ok()) << mode << ": " << result.error().message;
    return result.ok() ? result.value() : Bytes{};
  }
  // `data` comes back through both loops, and its length fits the bound the
  // container reader puts on a stream of that size.
  void expect_round_trip(const Bytes& data, const char* name) const {
    const Bytes stream = coded(data);
    EXPECT_EQ(decoded(stream, static_cast<std::uint32_t>(data.size())), data) << mode << ": " << name;
    EXPECT_LE(data.size(), codec::cm_max_decoded_length(stream.size()) / 2) << mode << ": " << name;
  }
};

const Loops kLoops[] = {
    {"max", codec::cm_compress, codec::cm_decompress, model::CM_CONFIG_MAX, kMediumInput,
     kLargeInput},
    {"balanced", codec::gru_compress, codec::gru_decompress, model::CM_CONFIG_BALANCED,
     kMediumInput / 100, kLargeInput / 100},
};

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(CmLoops, EmptyInputCodesToFourZeroBytes) {
  for (const Loops& loops : kLoops) EXPECT_EQ(loops.coded({}), (Bytes{0, 0, 0, 0})) << loops.mode;
}

TEST(CMEngine, CodesTheFirstBitAtEvenOdds) {
  auto engine = model::CMEngine::with_config(kTinyConfig);
  ASSERT_TRUE(engine.ok());
  EXPECT_EQ(engine->predict(), 2048u);
  for (std::int32_t x : engine->inputs().values) EXPECT_EQ(x, 0);
  // So a single byte whose first bit is 1 starts the stream at 0x80 or above.
  const Loops& max = kLoops[0];
  EXPECT_GE(max.coded({0xC3})[0], 0x80);
  EXPECT_LT(max.coded({0x43})[0], 0x80);
}

TEST(CmLoops, RoundTripEveryKindOfInput) {
  for (const Loops& loops : kLoops) {
    std::mt19937 rng(7);
    Bytes random(loops.medium);
    for (auto& b : random) b = static_cast<std::uint8_t>(rng());
    Bytes ramp(256 * (loops.medium >= 10000 ? 4 : 1));
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>(i);
    std::string text;
    for (std::size_t i = 0; i < loops.medium / 333 + 1; ++i) {
      text.append("The quick brown fox ").append(std::to_string(i * 7919));
      text.append(" jumps over_the lazy DOG.\n");
    }
    std::string json = "{\"items\":[";
    for (std::size_t i = 0; i < loops.medium / 200 + 1; ++i) {
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
        {"every byte value", ramp},
        {"random binary", random},
        {"a long run of one byte", Bytes(loops.large / 8, 'a')},
        {"NUL bytes (past a 16-bit count in release builds of max)", Bytes(loops.medium, 0)},
        {"text", bytes_of(text)},
        {"json", bytes_of(json)},
    };
    for (const auto& c : cases) loops.expect_round_trip(c.data, c.name);
  }
}

TEST(CmLoops, RoundTripACorpusLog) {
  for (const Loops& loops : kLoops) {
    const Bytes ndjson = read_corpus_prefix("zeek_dns.ndjson", loops.large);
    if (ndjson.empty()) GTEST_SKIP() << "corpus file zeek_dns.ndjson absent from " KELVANE_CORPUS_DIR;
    loops.expect_round_trip(ndjson, "zeek_dns.ndjson");
  }
}

TEST(CmLoops, CompressRedundantInput) {
  for (const Loops& loops : kLoops) {
    const Bytes run(loops.medium, 'a');
    EXPECT_LT(loops.coded(run).size(), 400u) << loops.mode;
  }
}

TEST(CmLoops, CompressACorpusLogToAQuarter) {
  for (const Loops& loops : kLoops) {
    // Below about a kilobyte the stream's start-up costs hide the gain.
    const Bytes ndjson = read_corpus_prefix("zeek_mixed.ndjson", std::max<std::size_t>(loops.medium, 1000));
    if (ndjson.empty()) GTEST_SKIP() << "corpus file zeek_mixed.ndjson absent from " KELVANE_CORPUS_DIR;
    EXPECT_LT(loops.coded(ndjson).size(), ndjson.size() / 4) << loops.mode;
  }
}

TEST(CmLoops, ZeroLengthGivesNothingWhateverThePayload) {
  for (const Loops& loops : kLoops) {
    for (const Bytes& payload : {Bytes{}, Bytes{1, 2, 3}, Bytes(100, 0xFF)}) {
      EXPECT_TRUE(loops.decoded(payload, 0).empty()) << loops.mode;
    }
  }
}

TEST(CmLoops, CutForeignOrEmptyPayloadsStillGiveTheDeclaredLength) {
  for (const Loops& loops : kLoops) {
    Bytes data(loops.medium / 50, 'x');
    for (char c : std::string("tail of the input")) data.push_back(static_cast<std::uint8_t>(c));
    const Bytes stream = loops.coded(data);
    const Bytes cut(stream.begin(), stream.begin() + 3);
    std::mt19937 rng(3);
    Bytes noise(64);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    const std::uint32_t declared = static_cast<std::uint32_t>(data.size() * 2);
    for (const Bytes& payload : {cut, noise, Bytes{}}) {
      EXPECT_EQ(loops.decoded(payload, declared).size(), declared) << loops.mode;
    }
  }
}

TEST(CmLoops, RejectTableSizesThatAreNotPowersOfTwo) {
  model::CMConfig bad = kTinyConfig;
  bad.word_table_size = 3000;
  for (const Loops& loops : kLoops) {
    for (auto result : {loops.compress(bytes_of("x"), bad),
                        loops.decompress(Bytes{0, 0, 0, 0}, 1, bad)}) {
      ASSERT_FALSE(result.ok()) << loops.mode;
      EXPECT_EQ(result.error().kind, kvn::ErrorKind::Other) << loops.mode;
    }
  }
}

#if !defined(__SANITIZE_ADDRESS__)
// With the address space capped below the full-size engine, building it must
// fail with the library's out-of-memory error, not crash; so must the output
// of a declared 4 GiB. Runs in a child process so the cap does not reach the
// other tests.
TEST(CmLoops, ReportMemoryTheyCannotHaveAsOutOfMemory) {
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit cap{std::size_t{256} << 20, std::size_t{256} << 20};
    if (setrlimit(RLIMIT_AS, &cap) != 0) _exit(3);
    const kvn::CodecError oom = kvn::other_error(kvn::kOutOfMemory);
    bool refused = true;
    for (const Loops& loops : kLoops) {
      for (const auto& result : {loops.compress(bytes_of("x"), loops.full_size),
                                 loops.decompress(Bytes{0, 0, 0, 0}, 1, loops.full_size),
                                 loops.decompress(Bytes{0, 0, 0, 0}, 0xFFFFFFFFu, kTinyConfig)}) {
        refused = refused && !result.ok() && result.error() == oom;
      }
    }
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

}  // namespace
