// The hash notation and the hashes the models build from it.
#include <gtest/gtest.h>

#include <cstdint>

#include "mixer/history.hpp"
#include "model/byte_run_model.hpp"
#include "model/cm_model.hpp"
#include "model/hash.hpp"

namespace {

namespace model = kelvane::model;
constexpr std::uint32_t P = 16777619u;
constexpr std::uint32_t B = 0x811C9DC5u;

TEST(Hash, FoldsElementsInOrderAndKeyXorsTheLastOne) {
  const struct {
    std::uint32_t got;
    std::uint32_t want;
  } cases[] = {
      {model::fnv(B), B},
      {model::fnv(B, 0x61), (B ^ 0x61u) * P},
      {model::fnv(B, 0x61, 0x62), ((B ^ 0x61u) * P ^ 0x62u) * P},
      {model::key(7, 0x61), 7u ^ 0x61u},
      {model::key(7, 0x61, 0x62), ((7u ^ 0x61u) * P) ^ 0x62u},
      // The word model's key: ((((w * P) ^ c0) * P ^ prev) * P) ^ len.
      {model::key(0, 0x1234u, 0x5u, 0x20u, 3u), ((((0x1234u * P) ^ 0x5u) * P ^ 0x20u) * P) ^ 3u},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Hash, ByteRunSeedsFollowTheBuckets) {
  const std::uint32_t seeds[] = {0xE59CA738, 0xE69CA8CB, 0xE79CAA5E, 0xE89CABF1,
                                 0xE99CAD84, 0xEA9CAF17, 0xEB9CB0AA, 0xEC9CB23D};
  for (std::uint32_t b = 0; b < 8; ++b) {
    EXPECT_EQ(model::ByteRunModel::SEED + b * model::FNV_PRIME, seeds[b]) << "bucket " << b;
  }
}

TEST(Hash, ContextModelsHashTheOlderBytesFirstThenThePartialByte) {
  kelvane::mixer::History h;  // the first bit of an input: c1..c9 = 0, c0 = 1
  EXPECT_EQ(model::ContextModel<1>::byte_context(h), (B ^ 0u) * P);
  h.c1 = 'c';
  h.c2 = 'b';
  h.c3 = 'a';
  EXPECT_EQ(model::ChecksumContextModel<3>::byte_context(h), model::fnv(B, 'a', 'b', 'c'));
  EXPECT_EQ(model::ContextModel<2>::byte_context(h), model::fnv(B, 'b', 'c'));
  EXPECT_EQ(model::AssociativeContextModel<9>::byte_context(h),
            model::fnv(B, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'));
}

}  // namespace
