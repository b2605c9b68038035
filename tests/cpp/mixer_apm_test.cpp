// Apm: the starting ramp, interpolation and blending, row selection, and the
// exact point updates.
#include <gtest/gtest.h>

#include "mixer/apm.hpp"

namespace mixer = kelvane::mixer;
namespace kvn = kelvane::kvn;

namespace {
mixer::Apm make(std::uint32_t rows, std::uint32_t weight) {
  auto apm = mixer::Apm::create(rows, weight);
  EXPECT_TRUE(apm.ok());
  return std::move(apm).value();
}
}  // namespace

TEST(Apm, RowsStartOnTheIdentityRamp) {
  const mixer::Apm apm = make(3, 128);
  struct Case {
    std::uint32_t j, point;
  };
  const Case cases[] = {{0, 1}, {1, 64}, {2, 128}, {32, 2048}, {33, 2111}, {63, 4031}, {64, 4095}};
  for (std::uint32_t row = 0; row < 3; ++row) {
    for (const Case& c : cases) EXPECT_EQ(apm.point(row, c.j), c.point) << row << "/" << c.j;
  }
}

TEST(Apm, FreshMapRefinesWithExactInterpolationAndBlend) {
  struct Case {
    std::uint32_t weight, p, bin, result;
  };
  const Case cases[] = {
      {0, 2048, 32, 2048},  {140, 2048, 32, 2048}, {256, 2048, 32, 2048},
      {256, 4095, 63, 4031},  // q = 64: bin 63, frac 0, so point 63 alone
      {128, 4095, 63, 4063},  // (4031 + 4095) * 128 >> 8
      {256, 1, 0, 1},         // q = 0, frac 64: 1 + 63 * 64 / 4095 = 1
      {256, 100, 1, 100},     // 64 + 64 * 2305 / 4095, truncated
      {30, 3000, 46, 2999},   // (2999 * 30 + 3000 * 226) >> 8
  };
  for (const Case& c : cases) {
    mixer::Apm apm = make(1, c.weight);
    EXPECT_EQ(apm.refine(c.p, 12345), c.result) << c.weight << " " << c.p;
    EXPECT_EQ(apm.bin(), c.bin);
    EXPECT_EQ(apm.row(), 0u);
  }
}

TEST(Apm, RowIsTheContextModuloTheRowCount) {
  struct Case {
    std::uint32_t rows, ctx, row;
  };
  const Case cases[] = {{3, 7, 1}, {3, 0xFFFFFFFF, 0}, {2048, 2049, 1}, {4096, 0xFFFFFFFF, 4095},
                        {1, 99, 0}};
  for (const Case& c : cases) {
    mixer::Apm apm = make(c.rows, 64);
    apm.refine(2048, c.ctx);
    EXPECT_EQ(apm.row(), c.row) << c.rows << " " << c.ctx;
  }
}

TEST(Apm, UpdateMovesTheTwoRecordedPointsWithArithmeticShifts) {
  struct Case {
    std::uint32_t bit, lo, hi, refined;
  };
  // From 2048 / 2111 (points 32 and 33), after refine(2048):
  //  bit 1: 2048 + (2047 >> 4), 2111 + (1984 >> 5)
  //  bit 0: 2048 + (-2047 >> 4) = 2048 - 128, 2111 + (-2110 >> 5) = 2111 - 66
  // Refining 2048 again (frac 32) truncates toward zero: 2175 + (-2 * 32) / 4095 = 2175.
  const Case cases[] = {{1, 2175, 2173, 2175}, {0, 1920, 2045, 1920}};
  for (const Case& c : cases) {
    mixer::Apm apm = make(4, 256);
    ASSERT_EQ(apm.refine(2048, 6), 2048u);
    apm.update(c.bit);
    EXPECT_EQ(apm.point(2, 32), c.lo);
    EXPECT_EQ(apm.point(2, 33), c.hi);
    EXPECT_EQ(apm.point(2, 31), 1984u);  // neighbours and other rows untouched
    EXPECT_EQ(apm.point(1, 32), 2048u);
    EXPECT_EQ(apm.refine(2048, 2), c.refined);
  }
}

TEST(Apm, PointsSettleWithinOneTo4095) {
  // Shifts round toward minus infinity: runs of 0 drive the points to 1, runs
  // of 1 stop 15 (>> 4) and 31 (>> 5) short of 4095.
  struct Case {
    std::uint32_t bit, p, bin, lo, hi, out;
  };
  const Case cases[] = {{1, 4000, 62, 4080, 4064, 4072}, {0, 30, 0, 1, 1, 1}};
  for (const Case& c : cases) {
    mixer::Apm apm = make(1, 256);
    for (int i = 0; i < 300; ++i) {
      apm.refine(c.p, 0);
      apm.update(c.bit);
    }
    EXPECT_EQ(apm.bin(), c.bin);
    EXPECT_EQ(apm.point(0, c.bin), c.lo);
    EXPECT_EQ(apm.point(0, c.bin + 1), c.hi);
    EXPECT_EQ(apm.refine(c.p, 0), c.out);
  }
}

TEST(Apm, CreateRejectsNoRowsAndWeightsAbove256) {
  for (auto [rows, weight] : {std::pair{0u, 64u}, std::pair{16u, 257u}}) {
    auto apm = mixer::Apm::create(rows, weight);
    ASSERT_FALSE(apm.ok());
    EXPECT_EQ(apm.error().kind, kvn::ErrorKind::Other);
  }
}
