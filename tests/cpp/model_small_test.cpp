// The word and byte-run models' byte-boundary steps, and the sparse model's
// averaging.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "mixer/history.hpp"
#include "mixer/logistic.hpp"
#include "mixer/mixer_input.hpp"
#include "model/byte_run_model.hpp"
#include "model/sparse_model.hpp"
#include "model/word_model.hpp"
#include "state/context_map.hpp"
#include "state/state_table.hpp"

namespace {

namespace model = kelvane::model;
using kelvane::mixer::History;
using kelvane::mixer::MixerInput;

model::WordModel word_model_after(const std::string& coded) {
  auto m = model::WordModel::create(1024);
  EXPECT_TRUE(m.ok());
  m->word_step(0);  // the boundary before the first byte
  for (unsigned char c : coded) m->word_step(c);
  return std::move(m.value());
}

TEST(WordModel, TracksTheWordAndTheByteBeforeIt) {
  const struct {
    std::string coded;
    std::uint32_t word_hash;
    std::uint32_t previous_hash;
    std::uint32_t word_len;
  } cases[] = {
      {"", 0, 0, 0},
      {"a", 'a', 0, 1},
      {"ab1_", ((('a' * 16777619u) ^ 'b') * 16777619u ^ '1') * 16777619u ^ '_', 0, 4},
      {"ab1_ ", 0x20, 0, 0},
      {"ab1_ x", 'x', 0x20, 1},
      {"{\"k", 'k', '"', 1},
  };
  for (const auto& c : cases) {
    const auto m = word_model_after(c.coded);
    EXPECT_EQ(m.word_hash(), c.word_hash) << c.coded;
    EXPECT_EQ(m.previous_hash(), c.previous_hash) << c.coded;
    EXPECT_EQ(m.word_len(), c.word_len) << c.coded;
  }
}

TEST(WordModel, FoldsUpperCaseOnly) {
  EXPECT_EQ(word_model_after(" HeLLo_W0").word_hash(), word_model_after(" hello_w0").word_hash());
  // '@' and '[' border the capital letters but are not word bytes.
  EXPECT_EQ(word_model_after("a@").word_len(), 0u);
  EXPECT_EQ(word_model_after("a[").word_len(), 0u);
}

TEST(ByteRunModel, CountsItsOwnRunFromTheFirstBoundary) {
  auto m = model::ByteRunModel::create(256);
  ASSERT_TRUE(m.ok());
  m->run_step(0);  // before the first byte: 0 equals the initial last byte
  EXPECT_EQ(m->run_len(), 1u);
  std::vector<std::uint32_t> buckets;
  for (int i = 0; i < 40; ++i) {
    m->run_step('z');
    const std::uint32_t b = model::ByteRunModel::bucket(m->run_len());
    if (buckets.empty() || buckets.back() != b) buckets.push_back(b);
  }
  EXPECT_EQ(buckets, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  m->run_step('y');
  EXPECT_EQ(m->run_len(), 1u);
}

TEST(ByteRunModel, BucketsTheRunLength) {
  const std::uint32_t bounds[][2] = {{0, 0}, {1, 0},  {2, 1},  {3, 2},  {4, 3},  {5, 3},
                                     {6, 4}, {8, 4},  {9, 5},  {16, 5}, {17, 6}, {32, 6},
                                     {33, 7}, {1000000, 7}};
  for (const auto& b : bounds) EXPECT_EQ(model::ByteRunModel::bucket(b[0]), b[1]) << b[0];
}

TEST(SparseModel, AveragesTheHalvesBeforeStretching) {
  // Code 30 one-bits in one context, then predict where only half B's
  // context (c3, c1, c0) is new: half A reads its trained state, half B a
  // fresh slot. A StateMap driven through the same states gives both
  // probabilities; the input is stretch of their mean.
  auto m = model::SparseModel::with_size(1 << 12);
  ASSERT_TRUE(m.ok());
  kelvane::state::StateMap reference;
  std::uint8_t s = 0;
  History h;
  MixerInput in;
  for (int i = 0; i < 30; ++i) {
    m->predict(h, in);
    m->update(h, 1);
    reference.update(s, 1);
    s = kelvane::state::next(s, 1);
  }
  History other = h;
  other.c1 = 'x';
  m->predict(other, in);
  const std::uint32_t pa = reference.p(s);
  const std::uint32_t pb = reference.p(0);
  ASSERT_NE(kelvane::mixer::stretch((pa + pb) >> 1),
            (kelvane::mixer::stretch(pa) + kelvane::mixer::stretch(pb)) / 2);
  EXPECT_EQ(in[MixerInput::SPARSE], kelvane::mixer::stretch((pa + pb) >> 1));
}

}  // namespace
