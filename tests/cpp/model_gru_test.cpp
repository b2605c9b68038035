// GruModel: the initial draws, the activations, the ring of past steps, the
// probability floor and the skipped output rows, and the whole state pinned
// by a CRC after a few bytes, for every build of its loops and whatever the
// caller's floating-point environment. This program is built twice, the
// second time with the GRU compiled for the build machine (-march=native);
// both must pin the same values.
#include <gtest/gtest.h>
#include <zlib.h>

#include <bit>
#include <cfenv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "model/gru_model.hpp"

namespace {

namespace model = kelvane::model;
using model::GruField;
using model::GruKernels;
using model::GruModel;

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// CRC-32 of every field in order, then hist_pos, hist_len and has_prediction.
std::uint32_t state_crc(const GruModel& gru) {
  uLong crc = crc32(0, nullptr, 0);
  for (std::size_t f = 0; f < model::GRU_FIELD_COUNT; ++f) {
    const auto values = gru.field(static_cast<GruField>(f));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(values.data()),
                static_cast<uInt>(values.size_bytes()));
  }
  const std::uint32_t scalars[3] = {gru.hist_pos(), gru.hist_len(), gru.has_prediction() ? 1u : 0u};
  crc = crc32(crc, reinterpret_cast<const Bytef*>(scalars), sizeof scalars);
  return static_cast<std::uint32_t>(crc);
}

// Every build of the loops this processor can run.
std::vector<GruKernels> available_kernels() {
  std::vector<GruKernels> kernels;
  for (GruKernels k : {GruKernels::Portable, GruKernels::Avx2, GruKernels::Avx512}) {
    kernels.push_back(k);
    if (k == model::best_gru_kernels()) break;
  }
  return kernels;
}

GruModel make(GruKernels kernels) {
  auto gru = GruModel::create(kernels);
  EXPECT_TRUE(gru.ok());
  return std::move(gru).value();
}

// What the coding loops do after each coded byte.
void feed(GruModel& gru, const std::string& text) {
  for (const char c : text) {
    const auto b = static_cast<std::uint8_t>(c);
    gru.train(b);
    gru.forward(b);
  }
}

const std::string kShort = "{\"id\":7}\n";                      // 9 steps: the ring not yet full
const std::string kLong = "{\"id\":7,\"name\":\"x\"}\n{\"id\":8,";  // 28 steps: the ring wrapped

// The pinned state: after create(), after kShort, after kLong.
constexpr std::uint32_t kInitialCrc = 0x02C5FA83;
constexpr std::uint32_t kShortCrc = 0x4617690C;
constexpr std::uint32_t kLongCrc = 0x0C5C48E6;

TEST(GruModel, ConvertsEachDrawToBinary32WithOneRounding) {
  struct Case {
    std::uint64_t x;
    std::uint32_t bits;
    const char* why;
  };
  const Case cases[] = {
      {0, 0x00000000, "zero"},
      {1, 0x3F800000, "one"},
      {(1ull << 24) + 1, 0x4B800000, "tie, rounds to the even neighbour below"},
      {(1ull << 24) + 3, 0x4B800002, "tie, rounds to the even neighbour above"},
      {~0ull, 0x5F800000, "rounds up into the next binade"},
      // Through binary64 these two round twice, onto a tie and then to even:
      {(1ull << 53) + (1ull << 29) + 1, 0x5A000001, "just above half an ulp"},
      {(1ull << 63) + (1ull << 39) + 1, 0x5F000001, "just above half an ulp, top bit set"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bits(model::gru_detail::u64_to_binary32(c.x)), c.bits) << c.why;
  }
  // The two double-rounding cases really are ones.
  EXPECT_EQ(bits(static_cast<float>(static_cast<double>((1ull << 63) + (1ull << 39) + 1))),
            0x5F000000u);
  // Anywhere else the conversion agrees with the compiler's own.
  std::mt19937_64 rng(9);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t x = rng() >> (rng() % 64);
    ASSERT_EQ(bits(model::gru_detail::u64_to_binary32(x)), bits(static_cast<float>(x))) << x;
  }
}

TEST(GruModel, ActivationsSaturate) {
  using model::gru_detail::sigmoid;
  using model::gru_detail::tanh;
  for (float x : {15.0001f, 100.0f, 3.4e38f}) EXPECT_EQ(bits(sigmoid(x)), 0x3F7FFFFAu) << x;
  for (float x : {-15.0001f, -100.0f, -3.4e38f}) EXPECT_EQ(bits(sigmoid(x)), bits(sigmoid(-15.0f)));
  EXPECT_EQ(sigmoid(0.0f), 0.5f);
  EXPECT_EQ(bits(tanh(0.0f)), 0u);
  for (float x : {7.6f, 1e6f}) {
    EXPECT_EQ(bits(tanh(x)), bits(tanh(7.5f))) << x;
    EXPECT_EQ(bits(tanh(-x)), bits(tanh(-7.5f))) << x;
  }
}

TEST(GruModel, StartsFromTheFixedDraws) {
  for (GruKernels kernels : available_kernels()) {
    const GruModel gru = make(kernels);
    // The first draw and the 102,400th.
    EXPECT_EQ(bits(gru.field(GruField::Embedding)[0]), 0xBD6B096Fu);
    EXPECT_EQ(bits(gru.field(GruField::WOut)[256 * 128 - 1]), 0xBD8C0E7Au);
    for (float b : gru.field(GruField::BZ)) ASSERT_EQ(b, 1.0f);
    for (float b : gru.field(GruField::BR)) ASSERT_EQ(b, 0.0f);
    for (float p : gru.output_probs()) ASSERT_EQ(bits(p), 0x3B800000u);
    EXPECT_FALSE(gru.has_prediction());
    EXPECT_EQ(state_crc(gru), kInitialCrc);
  }
}

TEST(GruModel, TrainingBeforeTheFirstStepChangesNothing) {
  GruModel gru = make(model::best_gru_kernels());
  gru.train('a');
  gru.train(0);
  EXPECT_EQ(state_crc(gru), kInitialCrc);
}

TEST(GruModel, RingHoldsTheLastTenSteps) {
  GruModel gru = make(model::best_gru_kernels());
  struct Case {
    int steps;
    std::uint32_t len, pos;
  };
  const Case cases[] = {{1, 1, 1}, {9, 9, 9}, {10, 10, 0}, {11, 10, 1}, {25, 10, 5}};
  int taken = 0;
  for (const Case& c : cases) {
    for (; taken < c.steps; ++taken) gru.forward(static_cast<std::uint8_t>(taken));
    EXPECT_EQ(gru.hist_len(), c.len) << c.steps;
    EXPECT_EQ(gru.hist_pos(), c.pos) << c.steps;
  }
  EXPECT_TRUE(gru.has_prediction());
}

TEST(GruModel, StatePinnedAfterAFewBytesByEveryBuild) {
  for (GruKernels kernels : available_kernels()) {
    GruModel gru = make(kernels);
    feed(gru, kShort);
    EXPECT_EQ(state_crc(gru), kShortCrc) << "kernels " << static_cast<int>(kernels);
    GruModel longer = make(kernels);
    feed(longer, kLong);
    EXPECT_EQ(state_crc(longer), kLongCrc) << "kernels " << static_cast<int>(kernels);
  }
}

// Rounding upward and flushing subnormals in the caller must not reach the
// model, and the caller gets its environment back.
TEST(GruModel, IgnoresTheCallersFloatingPointEnvironment) {
  std::fenv_t saved;
  ASSERT_EQ(std::fegetenv(&saved), 0);
  ASSERT_EQ(std::fesetround(FE_UPWARD), 0);
#if defined(__x86_64__)
  const unsigned flush = 0x8040;  // flush-to-zero and denormals-are-zero
  _mm_setcsr(_mm_getcsr() | flush);
#endif
  GruModel gru = make(model::best_gru_kernels());
  feed(gru, kLong);
  const std::uint32_t crc = state_crc(gru);
  const int round = std::fegetround();
#if defined(__x86_64__)
  const unsigned csr = _mm_getcsr();
#endif
  std::fesetenv(&saved);
  EXPECT_EQ(crc, kLongCrc);
  EXPECT_EQ(round, FE_UPWARD);
#if defined(__x86_64__)
  EXPECT_EQ(csr & flush, flush);
#endif
}

// A dominant byte pushes every other probability below 1e-8: they are raised
// to exactly 1e-8 and the vector is not renormalised. Training toward another
// byte then leaves every row whose error is below 1e-7 untouched.
TEST(GruModel, FloorsProbabilitiesAndSkipsRowsWithTinyErrors) {
  for (GruKernels kernels : available_kernels()) {
    GruModel gru = make(kernels);
    gru.forward('a');
    gru.field(GruField::BOut)[0] = 60.0f;
    gru.compute_output_probs();
    const auto probs = gru.output_probs();
    double sum = 0;
    for (std::size_t k = 1; k < 256; ++k) ASSERT_EQ(bits(probs[k]), 0x322BCC77u) << k;
    for (float p : probs) sum += p;
    EXPECT_GT(sum, 1.0);

    const std::vector<float> before(gru.field(GruField::WOut).begin(), gru.field(GruField::WOut).end());
    gru.train(1);
    const auto after = gru.field(GruField::WOut);
    const auto row_changed = [&](std::size_t k) {
      for (std::size_t j = 0; j < 128; ++j) {
        if (bits(before[k * 128 + j]) != bits(after[k * 128 + j])) return true;
      }
      return false;
    };
    EXPECT_TRUE(row_changed(0));  // error about +1
    EXPECT_TRUE(row_changed(1));  // the target: error about -1
    for (std::size_t k = 2; k < 256; ++k) ASSERT_FALSE(row_changed(k)) << k;
  }
}

}  // namespace
