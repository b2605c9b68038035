// squash and stretch: table entries, endpoints and the clamps of both lookups.
#include <gtest/gtest.h>

#include "mixer/logistic.hpp"

namespace mixer = kelvane::mixer;

TEST(Squash, TableEntriesAndClampedLookups) {
  struct Case {
    std::int32_t x;
    std::uint32_t p;
  };
  const Case cases[] = {
      {-1000000, 33}, {-9000, 33}, {-8193, 33}, {-8192, 33}, {-128, 1025}, {-1, 2033},
      {0, 2048},      {1, 2063},   {128, 3071}, {8191, 4063}, {9000, 4063}, {1000000, 4063},
      {INT32_MIN, 33}, {INT32_MAX, 4063},
  };
  for (const Case& c : cases) EXPECT_EQ(mixer::squash(c.x), c.p) << "x " << c.x;
  EXPECT_EQ(mixer::SQUASH_TABLE[0], 33);
  EXPECT_EQ(mixer::SQUASH_TABLE[8192], 2048);
  EXPECT_EQ(mixer::SQUASH_TABLE[16383], 4063);
}

TEST(Stretch, TableEntriesAndClampedLookups) {
  struct Case {
    std::uint32_t p;
    std::int32_t x;
  };
  const Case cases[] = {
      {0, -8191},    {1, -8191},   {2, -8191},    {3, -8191},  {1025, -127}, {2047, 0},
      {2048, 0},     {2049, 0},    {3071, 127},   {4093, 8191}, {4094, 8191}, {4095, 8191},
      {4096, 8191},  {5000, 8191}, {UINT32_MAX, 8191},
  };
  for (const Case& c : cases) EXPECT_EQ(mixer::stretch(c.p), c.x) << "p " << c.p;
}

TEST(Logistic, BothTablesAreMonotoneAndOddAroundTheMiddle) {
  for (std::size_t i = 1; i < mixer::SQUASH_TABLE.size(); ++i) {
    ASSERT_LE(mixer::SQUASH_TABLE[i - 1], mixer::SQUASH_TABLE[i]) << i;
  }
  for (std::size_t i = 1; i < 8192; ++i) {
    ASSERT_EQ(mixer::SQUASH_TABLE[8192 + i] - 2048, 2048 - mixer::SQUASH_TABLE[8192 - i]) << i;
  }
  for (std::uint32_t p = 1; p <= 4096; ++p) {
    ASSERT_LE(mixer::stretch(p - 1), mixer::stretch(p)) << p;
  }
  for (std::uint32_t d = 0; d <= 2048; ++d) {
    ASSERT_EQ(mixer::stretch(2048 + d), -mixer::stretch(2048 - d)) << d;
  }
}
