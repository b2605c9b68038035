// The mixer sets, FINAL_BLEND and the Apm chain: the even start, truncation
// toward zero, exact weight steps and clamps, and the row contexts.
#include <gtest/gtest.h>

#include <algorithm>

#include "mixer/final_stage.hpp"
#include "mixer/logistic.hpp"

namespace mixer = kelvane::mixer;

namespace {
mixer::MultiSetMixer make_mixer() {
  auto m = mixer::MultiSetMixer::create();
  EXPECT_TRUE(m.ok());
  return std::move(m).value();
}

mixer::History sample_history() {
  mixer::History h;
  h.c0 = 0b1011;
  h.bp = 3;
  h.c1 = 'e';
  h.c2 = '"';
  h.c3 = 0xC3;
  h.run = 5;
  h.column = 70;
  h.nul_count = 21;
  return h;
}
}  // namespace

TEST(FinalStage, EvenInputsGiveAnEvenPredictionUnderAnyContext) {
  auto stage = mixer::FinalStage::create();
  ASSERT_TRUE(stage.ok());
  const mixer::MixerInput even{};
  mixer::History histories[3] = {mixer::History{}, sample_history(), sample_history()};
  histories[2].c0 = 255;
  histories[2].bp = 7;
  histories[2].c1 = 0xFF;
  for (const mixer::History& h : histories) {
    for (std::uint32_t bucket = 0; bucket < 4; ++bucket) {
      EXPECT_EQ(stage->predict(even, h, bucket), 2048u);
      for (std::size_t j = 0; j < mixer::MultiSetMixer::SET_COUNT; ++j) {
        EXPECT_EQ(stage->mixer().set(j).output, 0);
      }
    }
  }
}

TEST(MultiSetMixer, EveryRowStartsWithTheInitialWeights) {
  mixer::MultiSetMixer m = make_mixer();
  for (std::size_t i = 0; i < mixer::MixerInput::COUNT; ++i) {
    m.inputs = {};
    m.inputs[i] = 4096;  // output = weight i exactly
    m.mix(sample_history(), 2);
    for (std::size_t j = 0; j < mixer::MultiSetMixer::SET_COUNT; ++j) {
      EXPECT_EQ(m.set(j).output, mixer::MIXER_INIT_WEIGHTS[i]) << "input " << i << " set " << j;
    }
  }
}

TEST(MultiSetMixer, SetOutputsTruncateTowardZero) {
  struct Case {
    std::int32_t x0, output;
  };
  // Weight 200 on input 0: the sum is 200 * x0, divided by 4096.
  const Case cases[] = {{-20, 0}, {20, 0}, {-21, -1}, {21, 1}, {-8191, -399}, {8191, 399}};
  for (const Case& c : cases) {
    mixer::MultiSetMixer m = make_mixer();
    m.inputs[mixer::MixerInput::ORDER0] = c.x0;
    m.mix(mixer::History{}, 0);
    for (std::size_t j = 0; j < mixer::MultiSetMixer::SET_COUNT; ++j) {
      EXPECT_EQ(m.set(j).output, c.output) << c.x0 << " set " << j;
    }
  }
}

TEST(MultiSetMixer, OneUpdateStepsTheWeightsExactly) {
  // Input 0 at 1000 (weight 200) gives output 48 and squash(48) = 2606.
  //  bit 1: err 1490, w0 = 200 + (1000 * 4470 >> 16) = 268
  //  bit 0: err -2606, w0 = 200 + (1000 * -7818 >> 16) = 200 - 120 (rounded down)
  struct Case {
    std::uint32_t bit;
    std::int32_t w0;
  };
  for (const Case& c : {Case{1, 268}, Case{0, 80}}) {
    mixer::MultiSetMixer m = make_mixer();
    m.inputs[0] = 1000;
    m.mix(sample_history(), 1);
    ASSERT_EQ(mixer::squash(m.set(0).output), 2606u);
    m.update(c.bit);
    for (std::size_t j = 0; j < mixer::MultiSetMixer::SET_COUNT; ++j) {
      const mixer::MixerSet& set = m.set(j);
      EXPECT_EQ(set.weights(set.row)[0], c.w0) << "set " << j;
      EXPECT_EQ(set.weights(set.row)[1], mixer::MIXER_INIT_WEIGHTS[1]);  // input was 0
      EXPECT_EQ(set.weights(set.row ^ 1)[0], 200);                       // other rows untouched
    }
  }
}

TEST(MultiSetMixer, WeightsStopAtTheSixteenBitBounds) {
  for (std::uint32_t bit : {0u, 1u}) {
    mixer::MultiSetMixer m = make_mixer();
    m.inputs[3] = 8191;
    for (int i = 0; i < 6000; ++i) {
      m.mix(mixer::History{}, 0);
      m.update(bit);
    }
    for (std::size_t j = 0; j < mixer::MultiSetMixer::SET_COUNT; ++j) {
      const mixer::MixerSet& set = m.set(j);
      EXPECT_EQ(set.weights(set.row)[3], bit ? 32767 : -32768) << "set " << j;
    }
  }
}

TEST(MultiSetMixer, MatchesWideArithmeticOverTheFullInputRange) {
  // A reference row per set, kept with 64-bit sums and products, against the
  // mixer over random inputs that include both ends of the stretch range.
  mixer::MultiSetMixer m = make_mixer();
  std::array<std::array<std::int64_t, 28>, 7> reference;
  for (auto& row : reference) {
    std::copy(mixer::MIXER_INIT_WEIGHTS.begin(), mixer::MIXER_INIT_WEIGHTS.end(), row.begin());
  }
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
  const mixer::History h = sample_history();
  int clamped = 0;
  for (int step = 0; step < 6000; ++step) {
    for (auto& x : m.inputs.values) {
      const std::uint32_t r = next();
      x = (r % 4 == 0) ? 8191 : (r % 4 == 1) ? -8191 : static_cast<std::int32_t>(r % 16383) - 8191;
    }
    std::uint32_t bit = (next() >> 3) & 1;
    if (step < 4000) {  // a phase that drives weights 0 and 1 into their bounds
      m.inputs[0] = 8191;
      m.inputs[1] = -8191;
      bit = 1;
    }
    m.mix(h, 1);
    for (std::size_t j = 0; j < 7; ++j) {
      std::int64_t sum = 0;
      for (std::size_t i = 0; i < 28; ++i) sum += reference[j][i] * m.inputs[i];
      const auto output = static_cast<std::int32_t>(sum / 4096);
      ASSERT_EQ(m.set(j).output, output) << "step " << step << " set " << j;
      const std::int64_t e3 = ((std::int64_t{bit} << 12) - mixer::squash(output)) * 3;
      for (std::size_t i = 0; i < 28; ++i) {
        std::int64_t w = reference[j][i] + ((m.inputs[i] * e3) >> 16);
        clamped += w < -32768 || w > 32767;
        reference[j][i] = w < -32768 ? -32768 : (w > 32767 ? 32767 : w);
      }
    }
    m.update(bit);
    for (std::size_t j = 0; j < 7; ++j) {
      const mixer::MixerSet& set = m.set(j);
      for (std::size_t i = 0; i < 28; ++i) {
        ASSERT_EQ(set.weights(set.row)[i], reference[j][i]) << "step " << step << " set " << j;
      }
    }
  }
  EXPECT_GT(clamped, 0);  // the run reached the weight bounds
}

TEST(FinalBlend, WeightsTheSetsAndTruncatesTowardZero) {
  struct Case {
    std::array<std::int32_t, 7> outputs;
    std::uint32_t p;
  };
  const Case cases[] = {
      {{0, 0, 0, 0, 0, 0, 0}, 2048},
      {{100, 100, 100, 100, 100, 100, 100}, 2945},    // squash(100)
      {{-1, 0, 0, 0, 0, 0, 0}, 2048},                 // -4 / 16 is 0
      {{-4, 0, 0, 0, 0, 0, 0}, 2033},                 // squash(-1)
      {{0, 0, 0, 0, 0, 0, -16}, 2033},
      {{0, 0, 0, 8, 0, 0, 0}, 2063},                  // squash(1)
      {{0, 0, 0, 0, 0, 0, 15}, 2048},
      {{30000, 30000, 30000, 30000, 30000, 30000, 30000}, 4063},
      {{-30000, -30000, -30000, -30000, -30000, -30000, -30000}, 33},
  };
  for (const Case& c : cases) EXPECT_EQ(mixer::final_blend(c.outputs), c.p);
}

TEST(FinalStage, RowContextsOfSampleHistories) {
  struct Case {
    mixer::History h;
    std::uint32_t match_bucket;
    std::array<std::uint32_t, 7> sets, apms;
  };
  mixer::History high;  // every field at its top, so every mask comes into play
  high.c0 = 0xFF;
  high.bp = 7;
  high.c1 = 0xFF;
  high.c2 = 0x7F;
  high.c3 = 0x80;
  high.run = 255;
  high.column = 65535;
  high.nul_count = 0xFFFF;
  mixer::History sample_low_nuls = sample_history();
  sample_low_nuls.nul_count = 5;  // only the low four bits of the NUL count count
  const Case cases[] = {
      // c0 = 0b1011, bp 3, c1 'e', c2 '"', c3 0xC3, run 5, column 70, 21 NULs.
      {sample_history(), 2, {91, 811, 2966, 291, 35, 147, 2832},
       {457, 12062, 1281, 1235, 765, 163, 1587}},
      {sample_low_nuls, 2, {91, 811, 2966, 291, 35, 147, 2832},
       {457, 12062, 1281, 1235, 765, 163, 1587}},
      {high, 3, {2047, 2047, 6483, 471, 87, 351, 2923}, {2046, 41, 766, 3034, 3644, 279, 891}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(mixer::MultiSetMixer::set_contexts(c.h, c.match_bucket), c.sets);
    EXPECT_EQ(mixer::FinalStage::apm_contexts(c.h, c.match_bucket), c.apms);
  }
}

TEST(FinalStage, LearnsARepeatedBitInBothDirections) {
  for (std::uint32_t bit : {0u, 1u}) {
    auto stage = mixer::FinalStage::create();
    ASSERT_TRUE(stage.ok());
    mixer::MixerInput inputs;
    for (auto& x : inputs.values) x = mixer::stretch(bit ? 3000 : 1096);
    const mixer::History h = sample_history();
    std::uint32_t p = 0;
    for (int i = 0; i < 2000; ++i) {
      p = stage->predict(inputs, h, 0);
      ASSERT_GE(p, 1u);
      ASSERT_LE(p, 4095u);
      stage->update(bit);
    }
    if (bit) {
      EXPECT_GT(p, 4000u);
    } else {
      EXPECT_LT(p, 96u);
    }
  }
}
