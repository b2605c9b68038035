// The PPM model: the distribution of the first bytes, even odds where no
// candidate byte has mass, an entry's symbol cap and halving, and the
// takeover of weak entries by colliding contexts.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <numeric>
#include <string>

#include "model/hash.hpp"
#include "model/ppm_model.hpp"

namespace {

namespace model = kelvane::model;

// Small tables; order 1 has a single entry, so every order-1 context collides.
model::PpmModel small_model() {
  std::array<std::uint32_t, 13> entries{};
  entries.fill(64);
  entries[0] = 1;
  entries[1] = 1;
  auto m = model::PpmModel::with_config(entries);
  EXPECT_TRUE(m.ok());
  return std::move(m.value());
}

std::uint16_t check_of(std::uint8_t newest) {
  return static_cast<std::uint16_t>((model::fnv(model::FNV_BASIS, newest) >> 16) | 1u);
}

TEST(PpmModel, FirstByteIsUniformAndOneByteTakesHalf) {
  auto m = small_model();
  m.compute_byte_probs();
  for (std::uint32_t v : m.distribution()) ASSERT_EQ(v, 4096u);
  for (std::uint32_t c0 : {1u, 2u, 5u, 200u}) EXPECT_EQ(m.bit_probability(c0), 2048u);

  m.update_byte('q');
  m.compute_byte_probs();
  const auto& d = m.distribution();
  EXPECT_EQ(d['q'], 524288u);
  std::uint32_t high = 0;
  for (std::uint32_t v = 0; v < 256; ++v) {
    if (v == 'q') continue;
    EXPECT_EQ(d[v], high < 8 ? 2057u : 2056u) << v;
    if (d[v] == 2057u) ++high;
  }
  EXPECT_EQ(std::accumulate(d.begin(), d.end(), std::uint64_t{0}), 1u << 20);
  // 'q' = 0x71: its first bit is 0, so the first bit is predicted as 0.
  const std::uint64_t ones = 128 * 2056;
  EXPECT_EQ(m.bit_probability(1), ones * 4096 / (1u << 20));
}

TEST(PpmModel, EvenOddsWhereNoCandidateByteHasMass) {
  // After 'b' and 2999 'a's, the order-12 context of twelve 'a's (2987
  // counts of 'a') leaves 351 points of the 2^20, and order 0's 'b' takes
  // 175 of them: 176 points for the 254 byte values left, so the highest 78
  // values get none.
  auto m = small_model();
  m.update_byte('b');
  for (int i = 0; i < 2999; ++i) m.update_byte('a');
  m.compute_byte_probs();
  const auto& d = m.distribution();
  ASSERT_EQ(d[0xFC] + d[0xFD] + d[0xFE] + d[0xFF], 0u);
  // c0 is 1 followed by the bits coded so far: the last bit between 0xFE
  // and 0xFF, and the one before it among 0xFC..0xFF.
  EXPECT_EQ(m.bit_probability(0xFF), 2048u);
  EXPECT_EQ(m.bit_probability(0x7F), 2048u);
}

TEST(PpmEntry, IgnoresA49thSymbolAndHalvesPast4000) {
  model::PpmEntry e{};
  for (int s = 0; s < 48; ++s) e.increment(static_cast<std::uint8_t>(s));
  e.increment(200);
  EXPECT_EQ(e.len, 48);
  EXPECT_EQ(e.total, 48);
  for (int i = 0; i < 8; ++i) e.increment(7);  // count 9
  e.increment(3);                              // count 2
  e.halve();
  ASSERT_EQ(e.len, 2);
  EXPECT_EQ(e.symbols[0], 3);
  EXPECT_EQ(e.counts[0], 1);
  EXPECT_EQ(e.symbols[1], 7);
  EXPECT_EQ(e.counts[1], 4);
  EXPECT_EQ(e.total, 5);
}

TEST(PpmModel, HalvesAnEntryWhoseTotalPasses4000) {
  auto m = small_model();
  m.update_byte('a');
  for (int i = 0; i < 3999; ++i) m.update_byte('b');
  // Order 0 has seen 'a' once and 'b' 3999 times: total 4000, not yet halved.
  EXPECT_EQ(m.entry(0, 0).total, 4000);
  m.update_byte('b');
  const model::PpmEntry& e = m.entry(0, 0);
  ASSERT_EQ(e.len, 1);
  EXPECT_EQ(e.symbols[0], 'b');
  EXPECT_EQ(e.counts[0], 2000);
  EXPECT_EQ(e.total, 2000);
}

TEST(PpmModel, CollidingContextTakesOverOnlyAWeakEntry) {
  auto m = small_model();
  for (char c : std::string("ab")) m.update_byte(static_cast<std::uint8_t>(c));
  // Order 1's single entry holds context 'a' with its successor 'b'.
  EXPECT_EQ(m.entry(1, 0).check, check_of('a'));
  m.update_byte('c');  // context 'b', total 1: taken over
  EXPECT_EQ(m.entry(1, 0).check, check_of('b'));
  ASSERT_EQ(m.entry(1, 0).len, 1);
  EXPECT_EQ(m.entry(1, 0).symbols[0], 'c');
  // Context 'z' followed by 'z' five times makes the entry strong.
  for (char c : std::string("zzzzzz")) m.update_byte(static_cast<std::uint8_t>(c));
  EXPECT_EQ(m.entry(1, 0).check, check_of('z'));
  EXPECT_EQ(m.entry(1, 0).total, 5);
  m.update_byte('k');  // still context 'z': counted
  m.update_byte('m');  // context 'k' collides with a strong entry: not counted
  EXPECT_EQ(m.entry(1, 0).check, check_of('z'));
  EXPECT_EQ(m.entry(1, 0).total, 6);
  EXPECT_EQ(m.entry(1, 0).len, 2);
}

}  // namespace
