// The DMC graph (initial layout, cloning, halving the counts of a busy node,
// the rebuild of a full graph) and the ISSE chain (classes, token length, the
// weights' first steps and bounds).
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "mixer/isse.hpp"
#include "mixer/logistic.hpp"
#include "model/dmc_model.hpp"
#include "state/state_table.hpp"

namespace {

namespace model = kelvane::model;
namespace mixer = kelvane::mixer;

TEST(DmcInstance, StartsFromGroupsOfEightAtEvenOdds) {
  auto d = model::DmcInstance::create();
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(d->p(), 2048u);
  EXPECT_EQ(d->nodes_used(), 2048u);
  const struct {
    std::uint32_t node, next0, next1;
  } cases[] = {{0, 1, 1}, {6, 7, 7}, {7, 0, 8}, {15, 0, 8}, {23, 16, 24}, {2047, 2032, 2040}};
  for (const auto& c : cases) {
    EXPECT_EQ(d->node(c.node).next[0], c.next0) << c.node;
    EXPECT_EQ(d->node(c.node).next[1], c.next1) << c.node;
    EXPECT_EQ(d->node(c.node).count[0], 1u);
    EXPECT_EQ(d->node(c.node).count[1], 1u);
  }
}

TEST(DmcInstance, ClonesASuccessorReachedOftenFromElsewhere) {
  // On the last bit the walk reaches, with n = 2, a successor whose counts
  // are (3, 3): the clone gets max(3 * 2 / 6, 1) = 1 of each and the
  // successor loses 1 - 1 = 0.
  const std::string bits = "1111010011011010110001101110001010";
  auto d = model::DmcInstance::create(8192);
  ASSERT_TRUE(d.ok());
  for (std::size_t i = 0; i + 1 < bits.size(); ++i) {
    ASSERT_EQ(d->nodes_used(), 2048u) << i;
    d->update(bits[i] == '1');
  }
  const std::uint32_t bit = bits.back() == '1';
  const std::uint32_t from = d->current();
  const std::uint32_t successor = d->node(from).next[bit];
  const model::DmcNode before = d->node(successor);
  ASSERT_EQ(before.count[0], 3u);
  ASSERT_EQ(before.count[1], 3u);
  ASSERT_EQ(d->node(from).count[bit], 1u);
  d->update(bit);
  EXPECT_EQ(d->nodes_used(), 2049u);
  EXPECT_EQ(d->current(), 2048u);
  EXPECT_EQ(d->node(from).next[bit], 2048u);
  const model::DmcNode& clone = d->node(2048);
  EXPECT_EQ(clone.count[0], 1u);
  EXPECT_EQ(clone.count[1], 1u);
  EXPECT_EQ(clone.next[0], before.next[0]);
  EXPECT_EQ(clone.next[1], before.next[1]);
  EXPECT_EQ(d->node(successor).count[0], 3u);
  EXPECT_EQ(d->node(successor).count[1], 3u);
  EXPECT_EQ(d->p(), 2048u);
}

TEST(DmcInstance, HalvesBothCountsOnceTheirSumPasses8192) {
  // A run of one bit value walks a loop of eight initial nodes without
  // cloning (each successor's total stays at most n + 2); the first node of
  // the loop counts one more of that bit per lap while the other stays 1.
  for (const std::uint32_t bit : {0u, 1u}) {
    auto d = model::DmcInstance::create(4096);
    ASSERT_TRUE(d.ok());
    const std::uint32_t watched = bit == 0 ? 0 : 8;
    for (int i = 0; i < 8; ++i) d->update(bit);  // reaches the loop of node `watched`
    for (;;) {
      if (d->current() != watched) {
        d->update(bit);
        continue;
      }
      const model::DmcNode before = d->node(watched);
      ASSERT_EQ(before.count[1 - bit], 1u) << bit;
      ASSERT_EQ(d->nodes_used(), 2048u) << bit;
      d->update(bit);
      const model::DmcNode& after = d->node(watched);
      if (before.count[bit] + 1 + before.count[1 - bit] <= 8192) {
        ASSERT_EQ(after.count[bit], before.count[bit] + 1) << bit;  // up to 8192, no halving
        continue;
      }
      // 8192 + 1 > 8192: 8192 halves to 4096, and 1 stays 1 instead of 0.
      EXPECT_EQ(before.count[bit], 8191u) << bit;
      EXPECT_EQ(after.count[bit], 4096u) << bit;
      EXPECT_EQ(after.count[1 - bit], 1u) << bit;
      break;
    }
  }
}

// Bits from x = (x * 1103515245 + 12345) mod 2^31, starting at 12345, each
// bit x >> 30 after a step.
struct Lcg {
  std::uint64_t x = 12345;
  std::uint32_t next() {
    x = (x * 1103515245u + 12345u) % (std::uint64_t{1} << 31);
    return static_cast<std::uint32_t>(x >> 30);
  }
};

TEST(DmcInstance, RebuildsAtOnceWhenTheLastNodeIsTaken) {
  auto d = model::DmcInstance::create();
  ASSERT_TRUE(d.ok());
  Lcg lcg;
  std::uint64_t fed = 0;
  std::uint32_t highest = 0;
  do {
    highest = d->nodes_used();
    d->update(lcg.next());
    ++fed;
    ASSERT_LT(fed, 5000000u);
  } while (d->nodes_used() >= highest);
  // The 4,238,265th bit takes node 4,194,303, the last one.
  EXPECT_EQ(fed, 4238265u);
  EXPECT_EQ(highest, 0x400000u - 1);
  EXPECT_EQ(d->current(), 0u);
  EXPECT_EQ(d->p(), 2048u);
  EXPECT_EQ(d->node(7).next[1], 8u);
  EXPECT_EQ(d->node(0x400000u - 1).count[0], 0u);  // wiped
}

TEST(DmcInstance, RebuildsASmallGraphTheSameWay) {
  auto d = model::DmcInstance::create(2048 + 64);
  ASSERT_TRUE(d.ok());
  Lcg lcg;
  std::uint32_t rebuilds = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::uint32_t used = d->nodes_used();
    d->update(lcg.next());
    ASSERT_LT(d->nodes_used(), d->capacity());
    if (d->nodes_used() < used) {
      ++rebuilds;
      EXPECT_EQ(d->current(), 0u);
      EXPECT_EQ(d->p(), 2048u);
    }
  }
  EXPECT_GT(rebuilds, 10u);
}

TEST(IsseChain, ClassifiesBytesAndCountsTokens) {
  const std::uint32_t classes[][2] = {{0x00, 0}, {0x1F, 0}, {' ', 1},  {'0', 2},  {'9', 2},
                                      {'A', 3},  {'Z', 3},  {'a', 4},  {'z', 4},  {'!', 5},
                                      {'@', 5},  {'`', 5},  {'~', 5},  {0x7F, 7}, {0x80, 6},
                                      {0xFF, 6}};
  for (const auto& c : classes) {
    EXPECT_EQ(mixer::isse::classify(static_cast<std::uint8_t>(c[0])), c[1]) << c[0];
  }
  const std::string delimiters = "\t\n\r !\"'(),./:;<=>?[]{}";
  for (unsigned b = 0; b < 256; ++b) {
    const bool listed = b != 0 && delimiters.find(static_cast<char>(b)) != std::string::npos;
    EXPECT_EQ(mixer::isse::is_delimiter(static_cast<std::uint8_t>(b)), listed) << b;
  }

  auto chain = mixer::IsseChain::create();
  ASSERT_TRUE(chain.ok());
  const auto code_byte = [&](std::uint8_t b) {
    std::uint32_t c0 = 1;
    for (std::uint32_t bp = 0; bp < 8; ++bp) {
      const std::uint32_t bit = (b >> (7 - bp)) & 1u;
      chain->predict(c0, 0, 0, 0, bp);
      chain->update(bit, c0, bp);
      c0 = (c0 << 1) | bit;
    }
  };
  for (int i = 0; i < 300; ++i) code_byte('a');
  EXPECT_EQ(chain->token_len(), 255u);
  code_byte('\f');  // FF and VT are not delimiters
  code_byte('\v');
  EXPECT_EQ(chain->token_len(), 255u);
  code_byte(',');
  EXPECT_EQ(chain->token_len(), 0u);
  code_byte('x');
  EXPECT_EQ(chain->token_len(), 1u);
}

TEST(IsseChain, FirstPredictionAndStepAreExact) {
  auto chain = mixer::IsseChain::create();
  ASSERT_TRUE(chain.ok());
  // Fresh pairs: (65536, stretch(p0(s)) * 256).
  for (int s : {0, 1, 2, 100, 204}) {
    const auto& w = chain->weights(1, static_cast<std::uint8_t>(s));
    EXPECT_EQ(w.w0, 65536);
    EXPECT_EQ(w.w1, mixer::stretch(kelvane::state::TABLE[s].p0) * 256);
  }
  // Every slot starts in state 0 (p0 2048), so all stages give 2048.
  EXPECT_EQ(chain->predict(1, 0, 0, 0, 0), 2048u);
  // A 0 bit: err = 0 - 8 * 2048 = -16384, signed; w1 += (-16384 + 16) >> 5
  // = -512 (rounding down), w0 += (-16384 * 0 + 4096) >> 13 = 0.
  chain->update(0, 1, 0);
  for (int stage : {1, 2}) {
    EXPECT_EQ(chain->weights(stage, 0).w0, 65536) << stage;
    EXPECT_EQ(chain->weights(stage, 0).w1, -512) << stage;
  }
}

TEST(IsseChain, WeightsStayWithinTheirBounds) {
  auto chain = mixer::IsseChain::create();
  ASSERT_TRUE(chain.ok());
  for (std::uint32_t bit : {1u, 0u}) {
    for (int i = 0; i < 20000; ++i) {
      const std::uint32_t p = chain->predict(1, 'a', 'b', 'c', 0);
      ASSERT_GE(p, 1u);
      ASSERT_LE(p, 4095u);
      chain->update(bit, 1, 0);
    }
    // States from 179 on are never reached from state 0; their fresh pairs
    // may start outside the bounds and are never trained.
    for (int stage : {1, 2}) {
      for (int s = 0; s < 179; ++s) {
        const auto& w = chain->weights(stage, static_cast<std::uint8_t>(s));
        ASSERT_GE(w.w0, -524287);
        ASSERT_LE(w.w0, 524287);
        ASSERT_GE(w.w1, -524287);
        ASSERT_LE(w.w1, 524287);
      }
    }
  }
}

}  // namespace
