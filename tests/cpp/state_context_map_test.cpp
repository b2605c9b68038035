// StateMap and RunMap: exact adaptation, bounds and saturation.
#include <gtest/gtest.h>

#include <vector>

#include "state/context_map.hpp"

namespace state = kelvane::state;
namespace kvn = kelvane::kvn;

TEST(StateMap, StartsFromTheTableAndAdaptsByOneOverCountPlusFour) {
  state::StateMap map;
  EXPECT_EQ(map.p(0), 2048u);
  EXPECT_EQ(map.count(0), 0u);
  EXPECT_EQ(map.p(3), 1024u);
  EXPECT_EQ(map.count(3), 1u);

  map.update(0, 1);  // 2048 + 2047 / 4
  EXPECT_EQ(map.p(0), 2559u);
  EXPECT_EQ(map.count(0), 1u);
  map.update(0, 0);  // 2559 + (-2559 / 5), truncated toward zero
  EXPECT_EQ(map.p(0), 2048u);
  map.update(3, 0);  // 1024 + (-1024 / 5) = 1024 - 204
  EXPECT_EQ(map.p(3), 820u);
  EXPECT_EQ(map.count(3), 2u);
  map.update(3, 1);  // 820 + 3275 / 6
  EXPECT_EQ(map.p(3), 1365u);
}

TEST(StateMap, LongRunsSettleShortOfTheEndsAndTheCountStopsAt192) {
  // The step truncates toward zero, so it dies out once |target - p| < n + 4:
  // from state 7 (p0 1638, count 0) a run of 0s stops at 79, a run of 1s at 3998.
  struct Case {
    std::uint32_t bit, settled;
  };
  for (const Case& c : {Case{0, 79}, Case{1, 3998}}) {
    const std::uint32_t bit = c.bit;
    state::StateMap map;
    for (int i = 0; i < 5000; ++i) {
      map.update(7, bit);
      ASSERT_GE(map.p(7), 1u);
      ASSERT_LE(map.p(7), 4095u);
    }
    EXPECT_EQ(map.p(7), c.settled) << "bit " << bit;
    EXPECT_EQ(map.count(7), 192u);
    EXPECT_EQ(map.p(8), state::TABLE[8].p0);  // other entries untouched
  }
}

TEST(StateMap, ReciprocalDivisionEqualsTruncatingDivisionOverItsWholeRange) {
  for (std::int32_t x = -4095; x <= 4095; ++x) {
    for (std::uint16_t n = 0; n <= state::StateMap::MAX_COUNT; ++n) {
      ASSERT_EQ(state::StateMap::divide_by_count(x, n), x / (n + 4)) << x << " / " << n + 4;
    }
  }
}

TEST(RunMap, LengthIsAQuarterOfTheTableRoundedUpAndAtLeast1024) {
  struct Case {
    std::size_t table_bytes, length;
  };
  const Case cases[] = {{0, 1024},       {7, 1024},          {8, 1024},
                        {4096, 1024},    {4100, 2048},       {8192, 2048},
                        {64u << 20, 16u << 20}, {(64u << 20) + 4, 32u << 20}};
  for (const Case& c : cases) {
    EXPECT_EQ(state::RunMap::length_for_table(c.table_bytes), c.length) << c.table_bytes;
  }
}

TEST(RunMap, CreateRejectsLengthsThatAreNotPowersOfTwo) {
  for (std::size_t length : {std::size_t{0}, std::size_t{3}, std::size_t{1000}}) {
    auto map = state::RunMap::create(length);
    ASSERT_FALSE(map.ok()) << length;
    EXPECT_EQ(map.error().kind, kvn::ErrorKind::Other);
  }
  auto map = state::RunMap::create(1024);
  ASSERT_TRUE(map.ok());
  EXPECT_EQ(map->length(), 1024u);
}

TEST(RunMap, PredictsTheRepeatedBitWithGrowingConfidence) {
  auto created = state::RunMap::create(1024);
  ASSERT_TRUE(created.ok());
  state::RunMap& map = *created;
  const std::uint32_t h = 0xDEADBEEF;
  EXPECT_EQ(map.p(h), 2048u);

  // (bit to code, prediction afterwards)
  struct Step {
    std::uint32_t bit, p;
  };
  std::vector<Step> steps = {{1, 2176}, {1, 2304}, {1, 2432}};
  for (int run = 4; run <= 14; ++run) steps.push_back({1, 2048u + 128u * run});
  steps.push_back({1, 3848});  // 15 * 128 = 1920 is capped at 1800
  for (int i = 0; i < 200; ++i) steps.push_back({1, 3848});  // the count stays at 127
  steps.push_back({0, 1920});  // a different bit restarts the run
  steps.push_back({0, 1792});
  steps.push_back({1, 2176});
  for (const Step& s : steps) {
    map.update(h, s.bit);
    ASSERT_EQ(map.p(h), s.p);
  }
  // Hashes equal under the mask share the slot; others are untouched.
  EXPECT_EQ(map.p(h + 1024), 2176u);
  EXPECT_EQ(map.p(h + 1), 2048u);
}

TEST(RunMap, ZeroRunsPredictBelowEvenDownTo248) {
  auto created = state::RunMap::create(1024);
  ASSERT_TRUE(created.ok());
  for (int i = 0; i < 300; ++i) created->update(5, 0);
  EXPECT_EQ(created->p(5), 248u);
}
