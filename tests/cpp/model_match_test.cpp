// The match model: its strength curve, the ring that stores 0x80 | (byte >> 1)
// and therefore matches only high bytes, runs of 0xFF before and after the
// ring wraps, and the short key that keeps its first position unless that
// position is 0.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mixer/history.hpp"
#include "mixer/mixer_input.hpp"
#include "model/hash.hpp"
#include "model/match_model.hpp"

namespace {

namespace model = kelvane::model;
using kelvane::mixer::History;
using kelvane::mixer::MixerInput;
using Bytes = std::vector<std::uint8_t>;

// The model's prediction of every bit of `data`, driven as the engine does.
struct MatchRun {
  model::MatchModel model;
  std::vector<std::uint32_t> predictions;
  std::vector<std::uint32_t> buckets;
};

MatchRun run(const Bytes& data, std::uint32_t ring = 1u << 16, std::uint32_t entries = 1u << 12) {
  auto m = model::MatchModel::create(ring, entries);
  EXPECT_TRUE(m.ok());
  MatchRun r{std::move(m.value()), {}, {}};
  History h;
  MixerInput in;
  for (std::uint8_t c : data) {
    for (int i = 7; i >= 0; --i) {
      const std::uint32_t bit = (c >> i) & 1u;
      r.model.predict(h, in);
      r.predictions.push_back(r.model.prediction());
      r.buckets.push_back(r.model.bucket());
      r.model.update(h, bit);
      if (h.push_bit(bit)) h.end_byte(h.completed_byte());
    }
  }
  return r;
}

TEST(MatchModel, StrengthGrowsWithLengthUpTo3800) {
  const std::uint32_t cases[][2] = {{2, 160},   {3, 240},   {4, 440},   {8, 1240}, {9, 1360},
                                    {15, 2080}, {29, 3760}, {30, 3800}, {32, 3800}, {33, 3800},
                                    {131, 3800}};
  for (const auto& c : cases) EXPECT_EQ(model::MatchModel::strength(c[0]), c[1]) << c[0];
}

TEST(MatchModel, TextBelow0x80NeverMatches) {
  std::string text;
  for (int i = 0; i < 40; ++i) text += "{\"key\":\"value\",\"n\":12}\n";
  const MatchRun r = run(Bytes(text.begin(), text.end()));
  for (std::size_t i = 0; i < r.predictions.size(); ++i) {
    ASSERT_EQ(r.predictions[i], 2048u) << i;
    ASSERT_EQ(r.buckets[i], 0u) << i;
  }
  EXPECT_EQ(r.model.bytes_seen(), text.size());
  // The ring holds c0 before each byte's last bit.
  EXPECT_EQ(r.model.ring(0), 0x80 | ('{' >> 1));
}

TEST(MatchModel, RunOf0xFFBeforeTheRingWraps) {
  const MatchRun r = run(Bytes(12, 0xFF));
  for (std::size_t byte = 0; byte < 12; ++byte) {
    for (std::size_t bit = 0; bit < 8; ++bit) {
      // From the fourth byte the match points at the write position, which
      // still holds 0: its first bit is predicted as 0 with length 3; the
      // coded 1 drops the match for the rest of the byte.
      const bool first = byte >= 3 && bit == 0;
      EXPECT_EQ(r.predictions[byte * 8 + bit], first ? 1808u : 2048u) << byte << "/" << bit;
      EXPECT_EQ(r.buckets[byte * 8 + bit], first ? 1u : 0u) << byte << "/" << bit;
    }
  }
  // The three-byte key was last written at the fourth byte (position 3).
  EXPECT_EQ(r.model.slot(model::key(0, 0xFF, 0xFF, 0xFF)), 3u);
  EXPECT_EQ(r.model.match_len(), 0u);
}

TEST(MatchModel, ShortKeySlotHoldingPositionZeroCountsAsEmpty) {
  // The first byte, 0xC5, is stored at position 0 under the short key of
  // (0, 0, 0xE2), its ring value 0xE2 behind two zero bytes of history.
  // The same three values come again at position 6, after four bytes have
  // been seen: a slot that kept its first position would keep 0, but 0
  // reads as an empty slot and is overwritten.
  const Bytes data = {0xC5, 'a', 'b', 'c', 0x00, 0x00, 0xC5};
  const std::uint32_t short_key = model::key(0, 0x00, 0x00, 0x80 | (0xC5 >> 1));
  const MatchRun first = run(Bytes(data.begin(), data.begin() + 6));
  ASSERT_EQ(first.model.slot(short_key), 0u);
  const MatchRun r = run(data);
  EXPECT_EQ(r.model.slot(short_key), 6u);
}

TEST(MatchModel, RunOf0xFFAfterTheRingWrapsFollowsWholeBytes) {
  const MatchRun r = run(Bytes(40, 0xFF), 16, 64);
  // Once the ring is full of 0xFF every candidate predicts 1 bits, and the
  // match is followed through the whole byte.
  for (std::size_t bit = 0; bit < 8; ++bit) {
    EXPECT_GE(r.predictions[39 * 8 + bit], 2048u + 240u) << bit;
    EXPECT_GE(r.buckets[39 * 8 + bit], 1u) << bit;
  }
  EXPECT_GE(r.model.match_ptr(), 0);
}

}  // namespace
