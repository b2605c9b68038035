// The bit-history machine: its rows, its reachable states and the adaptation
// counts fresh StateMap entries start with.
#include <gtest/gtest.h>

#include <bitset>
#include <vector>

#include "state/state_table.hpp"

namespace state = kelvane::state;

TEST(StateTable, RowsHoldTheirSuccessorsAndStartingProbability) {
  struct Row {
    int s, next0, next1, p0;
  };
  const Row rows[] = {
      {0, 1, 2, 2048},    {1, 3, 4, 1365},     {2, 4, 5, 2730},     {36, 45, 37, 410},
      {45, 53, 53, 372},  {53, 62, 62, 341},   {54, 71, 63, 1024},  {60, 68, 77, 3071},
      {101, 124, 113, 964}, {110, 121, 133, 3131}, {163, 149, 149, 931}, {175, 160, 160, 3164},
      {178, 176, 176, 3917}, {179, 181, 181, 158}, {191, 193, 189, 93}, {204, 202, 202, 4029},
      {205, 7, 8, 2048},  {255, 7, 8, 2048},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.s);
    const auto s = static_cast<std::uint8_t>(r.s);
    EXPECT_EQ(state::TABLE[s].next0, r.next0);
    EXPECT_EQ(state::TABLE[s].next1, r.next1);
    EXPECT_EQ(state::TABLE[s].p0, r.p0);
    EXPECT_EQ(state::next(s, 0), r.next0);
    EXPECT_EQ(state::next(s, 1), r.next1);
  }
}

TEST(StateTable, FromStateZeroExactlyStatesZeroTo178AreReachable) {
  std::bitset<256> seen;
  std::vector<std::uint8_t> todo = {0};
  seen.set(0);
  while (!todo.empty()) {
    const std::uint8_t s = todo.back();
    todo.pop_back();
    for (std::uint32_t bit : {0u, 1u}) {
      const std::uint8_t n = state::next(s, bit);
      if (!seen.test(n)) {
        seen.set(n);
        todo.push_back(n);
      }
    }
  }
  for (int s = 0; s < 256; ++s) EXPECT_EQ(seen.test(s), s <= 178) << "state " << s;
}

TEST(StateTable, InitialCountGrowsWithDistanceFromEvenAndStaysBelowFour) {
  struct Case {
    int s, count;
  };
  // |p0 - 2048| >> 3, then / 75.
  const Case cases[] = {{0, 0}, {1, 1}, {3, 1}, {6, 2}, {28, 2}, {53, 2}, {88, 2},
                        {100, 3}, {179, 3}, {204, 3}, {255, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(state::initial_count(static_cast<std::uint8_t>(c.s)), c.count) << "state " << c.s;
  }
  for (int s = 0; s < 256; ++s) EXPECT_LE(state::initial_count(static_cast<std::uint8_t>(s)), 3);
}
