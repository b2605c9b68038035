// The engine history and its classifications: byte classes, buckets, and the
// counters kept at every byte end.
#include <gtest/gtest.h>

#include "mixer/history.hpp"

namespace mixer = kelvane::mixer;

namespace {
void code_byte(mixer::History& h, std::uint8_t b) {
  for (int i = 7; i >= 0; --i) {
    const bool complete = h.push_bit((b >> i) & 1u);
    ASSERT_EQ(complete, i == 0);
  }
  ASSERT_EQ(h.completed_byte(), b);
  h.end_byte(b);
}
}  // namespace

TEST(ByteClass, ClassBoundaries) {
  struct Case {
    int first, last;
    std::uint32_t cls;
  };
  const Case cases[] = {
      {0x00, 0x1F, 0}, {0x20, 0x20, 1}, {'0', '9', 2},  {'A', 'Z', 3},   {'a', 'z', 4},
      {0x21, 0x2F, 5}, {0x3A, 0x40, 5}, {0x5B, 0x60, 5}, {0x7B, 0x7E, 5}, {0x80, 0x9F, 6},
      {0xA0, 0xBF, 7}, {0xC0, 0xDF, 8}, {0xE0, 0xFE, 9}, {0xFF, 0xFF, 10}, {0x7F, 0x7F, 11},
  };
  int covered = 0;
  for (const Case& c : cases) {
    for (int b = c.first; b <= c.last; ++b, ++covered) {
      EXPECT_EQ(mixer::byte_class(static_cast<std::uint8_t>(b)), c.cls) << "byte " << b;
    }
  }
  EXPECT_EQ(covered, 256);
}

TEST(Buckets, Boundaries) {
  struct Case {
    std::uint32_t value, match, run, column;
  };
  const Case cases[] = {
      {0, 0, 0, 0},  {1, 0, 0, 0},  {2, 1, 1, 0},   {3, 1, 1, 0},   {4, 1, 2, 1},
      {7, 1, 2, 1},  {8, 2, 2, 1},  {9, 2, 3, 1},   {15, 2, 3, 1},  {16, 2, 3, 2},
      {31, 2, 3, 2}, {32, 3, 3, 2}, {63, 3, 3, 2},  {64, 3, 3, 3},  {255, 3, 3, 3},
      {65535, 3, 3, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mixer::match_bucket(c.value), c.match) << c.value;
    EXPECT_EQ(mixer::run_bucket(c.value), c.run) << c.value;
    EXPECT_EQ(mixer::column_bucket(c.value), c.column) << c.value;
  }
}

TEST(History, StartsEmptyAndShiftsCompletedBytesIn) {
  mixer::History h;
  EXPECT_EQ(h.c0, 1u);
  EXPECT_EQ(h.bp, 0);
  h.push_bit(1);
  h.push_bit(0);
  EXPECT_EQ(h.c0, 0b110u);
  EXPECT_EQ(h.bp, 2);

  mixer::History bytes;
  for (std::uint8_t b = 1; b <= 10; ++b) code_byte(bytes, b);
  for (unsigned k = 1; k <= 9; ++k) EXPECT_EQ(bytes.back(k), 11 - k) << k;
  EXPECT_EQ(bytes.c1, 10);
  EXPECT_EQ(bytes.c9, 2);
  EXPECT_EQ(bytes.c0, 1u);
  EXPECT_EQ(bytes.bp, 0);
}

TEST(History, RunColumnAndNulCounters) {
  mixer::History h;
  code_byte(h, 'x');  // differs from the initial c1 = 0
  EXPECT_EQ(h.run, 1);
  EXPECT_EQ(h.column, 1);
  code_byte(h, 'x');
  code_byte(h, 'x');
  EXPECT_EQ(h.run, 3);
  EXPECT_EQ(h.column, 3);
  code_byte(h, '\n');
  EXPECT_EQ(h.run, 1);
  EXPECT_EQ(h.column, 0);
  code_byte(h, 0);
  EXPECT_EQ(h.nul_count, 1);
  EXPECT_EQ(h.column, 1);
}

TEST(History, CountersSaturateOrWrap) {
  mixer::History h;
  for (int i = 0; i < 65536; ++i) h.end_byte(0);
  EXPECT_EQ(h.run, 255);
  EXPECT_EQ(h.column, 65535);
  EXPECT_EQ(h.nul_count, 0);  // wrapped after 65536 NULs
  h.end_byte(0);
  EXPECT_EQ(h.nul_count, 1);
  EXPECT_EQ(h.column, 65535);
  h.end_byte('\n');
  EXPECT_EQ(h.column, 0);
  EXPECT_EQ(h.run, 1);
  EXPECT_EQ(h.nul_count, 1);
}
