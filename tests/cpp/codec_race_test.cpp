// The "fast" race: the winner is the smallest candidate, the earliest in
// spawn order among equals, whatever order the tasks finish in; candidates a
// reader could not decode are never offered.
#include <gtest/gtest.h>

#include <thread>

#include <zstd.h>

#include "codec/driver.hpp"
#include "codec/fast_race.hpp"
#include "codec_test_support.hpp"

namespace kelvane::codec {
namespace {

using namespace test;

using Candidate = std::optional<CandidateResult> (*)(const RaceInputs&);
constexpr Candidate kSpawnOrder[] = {candidate_zstd_transformed,   candidate_zstd_raw,
                                     candidate_brotli_raw,         candidate_brotli_transformed,
                                     candidate_brotli_embedded,    candidate_zstd_embedded};

struct RaceCase {
  const char* name;
  Bytes transformed, input, metadata;
};

std::vector<RaceCase> race_cases() {
  const Bytes text = log_lines(800);
  const Bytes noise = random_bytes(3000, 31);
  return {
      {"no chain, transformed = input (ties)", text, text, {}},
      {"chain, smaller transformed", Bytes(4000, 'a'), text, opaque_chain(Bytes(30, 'c'))},
      {"chain repeating the transformed bytes", noise, text, opaque_chain(noise)},
      {"incompressible", noise, noise, opaque_chain(Bytes(5, 'x'))},
  };
}

TEST(Race, WinnerIsTheSmallestEarliestCandidate) {
  for (const RaceCase& c : race_cases()) {
    SCOPED_TRACE(c.name);
    const RaceInputs in = prepare_race(c.transformed, c.input, c.metadata, std::nullopt);
    std::optional<CandidateResult> expected;
    for (Candidate candidate : kSpawnOrder) {
      auto r = candidate(in);
      if (r && (!expected || r->total < expected->total)) expected = std::move(r);
    }
    ASSERT_TRUE(expected.has_value());
    for (int run = 0; run < 3; ++run) {  // finishing order must not matter
      auto winner = fast_race(c.transformed, c.input, c.metadata, std::nullopt);
      ASSERT_TRUE(winner.ok());
      EXPECT_EQ(winner->total, expected->total);
      EXPECT_EQ(winner->payload, expected->payload);
      EXPECT_EQ(winner->raw, expected->raw);
      EXPECT_EQ(winner->brotli, expected->brotli);
      EXPECT_EQ(winner->embedded, expected->embedded);
    }
  }
}

TEST(Race, CandidatesFollowTheirRules) {
  const Bytes text = log_lines(300);
  const Bytes chain = opaque_chain(Bytes(100, 'c'));
  const RaceInputs with_level = prepare_race(text, text, chain, 5);
  auto zstd_at = [](ByteSpan d, int level) {
    Bytes out(ZSTD_compressBound(d.size()));
    out.resize(ZSTD_compress(out.data(), out.size(), d.data(), d.size(), level));
    return out;
  };
  // A level argument reaches every zstd task; totals add the header and,
  // for the transformed bytes, the metadata estimate.
  EXPECT_EQ(candidate_zstd_transformed(with_level)->payload, zstd_at(text, 5));
  EXPECT_EQ(candidate_zstd_raw(with_level)->payload, zstd_at(text, 5));
  EXPECT_EQ(candidate_zstd_embedded(with_level)->payload, zstd_at(embedded_block(chain, text), 5));
  const auto t = candidate_zstd_transformed(with_level);
  EXPECT_EQ(t->total, t->payload.size() + 32 + metadata_estimate(chain));
  const auto e = candidate_brotli_embedded(with_level);
  EXPECT_TRUE(e->brotli && e->embedded && !e->raw);
  EXPECT_EQ(e->total, e->payload.size() + 32);

  // Without a chain there is no block and no embedded candidate.
  const RaceInputs plain = prepare_race(text, text, {}, std::nullopt);
  EXPECT_FALSE(candidate_brotli_embedded(plain).has_value());
  EXPECT_FALSE(candidate_zstd_embedded(plain).has_value());
  EXPECT_EQ(candidate_zstd_transformed(plain)->total, candidate_zstd_raw(plain)->total);

  // Transformed bytes (or a block) longer than 2 x input + 65536 would be
  // refused by the reader, so they are not offered; the raw input wins.
  const Bytes input(100, 'i');
  const Bytes long_t(2 * 100 + 65536 + 1, 'a');
  const RaceInputs over = prepare_race(long_t, input, chain, std::nullopt);
  for (Candidate candidate : {candidate_zstd_transformed, candidate_brotli_transformed,
                              candidate_brotli_embedded, candidate_zstd_embedded}) {
    EXPECT_FALSE(candidate(over).has_value());
  }
  auto winner = fast_race(long_t, input, chain, std::nullopt);
  ASSERT_TRUE(winner.ok());
  EXPECT_TRUE(winner->raw);
}

TEST(Race, ConcurrentCallsAgree) {
  const Bytes text = log_lines(500);
  const Bytes chain = opaque_chain(Bytes(50, 'c'));
  const auto reference = fast_race(text, text, chain, std::nullopt).value().payload;
  std::vector<Bytes> got(4);
  std::vector<std::thread> threads;
  for (auto& g : got) {
    threads.emplace_back([&] { g = fast_race(text, text, chain, std::nullopt).value().payload; });
  }
  for (auto& th : threads) th.join();
  for (const auto& g : got) EXPECT_EQ(g, reference);
}

}  // namespace
}  // namespace kelvane::codec
