// The hashed context models: what they read at the first bit, and how the
// checksum and associative slot layouts share, replace and evict slots.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/cm_model.hpp"
#include "model/hash.hpp"
#include "state/state_table.hpp"

namespace {

namespace model = kelvane::model;
using kelvane::mixer::History;
using kelvane::mixer::MixerInput;

// A history at a byte boundary whose last byte is c1 (others 0).
History boundary_after(std::uint8_t c1) {
  History h;
  h.c1 = c1;
  return h;
}

template <class Model>
std::uint32_t slot_hash_at(std::uint8_t c1) {
  return model::fnv_step(Model::byte_context(boundary_after(c1)), 1);
}

// Finds last bytes whose first-bit contexts land on the same slot index
// (under `mask`) with pairwise different check bytes.
template <class Model>
std::vector<std::uint8_t> colliding_contexts(std::uint32_t mask, std::size_t count) {
  std::vector<std::uint8_t> found;
  std::vector<std::uint32_t> checks;
  const std::uint32_t index = slot_hash_at<Model>(0) & mask;
  for (unsigned c = 0; c < 256 && found.size() < count; ++c) {
    const std::uint32_t h = slot_hash_at<Model>(static_cast<std::uint8_t>(c));
    const std::uint32_t check = ((h >> 16) & 0xFF) | 1;
    bool fresh = (h & mask) == index;
    for (std::uint32_t seen : checks) fresh = fresh && seen != check;
    if (fresh) {
      found.push_back(static_cast<std::uint8_t>(c));
      checks.push_back(check);
    }
  }
  return found;
}

// Predicts the first bit after c1 and returns the state read.
template <class Model>
std::uint8_t read_state(Model& m, std::uint8_t c1) {
  MixerInput in;
  m.predict(boundary_after(c1), in);
  return m.state();
}

template <class Model>
void code_one(Model& m, std::uint8_t c1, std::uint32_t bit) {
  read_state(m, c1);
  m.update(boundary_after(c1), bit);
}

TEST(ContextModel, FirstBitOfAnInputReadsAFreshSlot) {
  auto m = model::ContextModel<1>::create(1024);
  ASSERT_TRUE(m.ok());
  MixerInput in;
  in[MixerInput::order_state(1)] = 99;
  in[MixerInput::order_run(1)] = 99;
  m->predict(History{}, in);
  constexpr std::uint32_t P = 16777619u;
  constexpr std::uint32_t B = 0x811C9DC5u;
  EXPECT_EQ(m->slot_hash(), ((B ^ 0u) * P ^ 1u) * P);
  EXPECT_EQ(m->state(), 0);
  EXPECT_EQ(in[MixerInput::order_state(1)], 0);  // stretch(2048)
  EXPECT_EQ(in[MixerInput::order_run(1)], 0);
}

TEST(ContextModel, RunMapInputFollowsTheRepeatedBit) {
  auto m = model::ContextModel<2>::create(64);
  ASSERT_TRUE(m.ok());
  for (int i = 0; i < 3; ++i) code_one(*m, 'q', 1);
  MixerInput in;
  m->predict(boundary_after('q'), in);
  EXPECT_EQ(in[MixerInput::order_run(2)], kelvane::mixer::stretch(2048 + 3 * 128));
}

TEST(ChecksumContextModel, AnotherContextOnTheSameSlotReadsZeroAndTakesItOver) {
  using Model = model::ChecksumContextModel<3>;
  auto m = Model::create(8);  // 4 slots
  ASSERT_TRUE(m.ok());
  const auto ctx = colliding_contexts<Model>(3, 2);
  ASSERT_EQ(ctx.size(), 2u);
  code_one(*m, ctx[0], 1);
  EXPECT_EQ(read_state(*m, ctx[0]), kelvane::state::next(0, 1));
  EXPECT_EQ(read_state(*m, ctx[1]), 0);
  m->update(boundary_after(ctx[1]), 0);
  EXPECT_EQ(read_state(*m, ctx[1]), kelvane::state::next(0, 0));
  EXPECT_EQ(read_state(*m, ctx[0]), 0) << "the first context lost its slot";
}

TEST(AssociativeContextModel, HitsStayInPlaceAndAMissEvictsTheSecondPair) {
  using Model = model::AssociativeContextModel<5>;
  auto m = Model::create(8);  // 2 buckets of two pairs
  ASSERT_TRUE(m.ok());
  const auto ctx = colliding_contexts<Model>(1, 3);
  ASSERT_EQ(ctx.size(), 3u);
  const std::uint8_t a = ctx[0], b = ctx[1], c = ctx[2];
  const std::uint8_t after_1 = kelvane::state::next(0, 1);
  const std::uint8_t after_11 = kelvane::state::next(after_1, 1);
  const std::uint8_t after_0 = kelvane::state::next(0, 0);

  code_one(*m, a, 1);  // bucket: (a)
  code_one(*m, b, 0);  // miss: a moves down, bucket: (b, a)
  EXPECT_EQ(read_state(*m, a), after_1);
  m->update(boundary_after(a), 1);  // hit on the second pair: updated in place
  EXPECT_EQ(read_state(*m, a), after_11);
  EXPECT_EQ(read_state(*m, b), after_0) << "b is still the first pair";

  code_one(*m, c, 1);  // miss: b moves down, a is evicted; bucket: (c, b)
  EXPECT_EQ(read_state(*m, c), after_1);
  EXPECT_EQ(read_state(*m, b), after_0);
  EXPECT_EQ(read_state(*m, a), 0);
}

TEST(ContextModels, RejectSizesThatAreNotPowersOfTwoOfAtLeastEightBytes) {
  for (std::uint32_t size : {0u, 4u, 12u, 1000u}) {
    auto m = model::AssociativeContextModel<7>::create(size);
    ASSERT_FALSE(m.ok()) << size;
    EXPECT_EQ(m.error().kind, kelvane::kvn::ErrorKind::Other);
  }
}

}  // namespace
