// The byte form of TransformChain.
#include <gtest/gtest.h>

#include "format/transform.hpp"

using kelvane::format::transform::TransformChain;
using kelvane::kvn::Bytes;

TEST(TransformChain, EmptyInputAndZeroCountGiveAnEmptyChain) {
  for (const Bytes& bytes : {Bytes{}, Bytes{0x00}, Bytes{0x00, 0x07, 0x07}}) {
    auto chain = TransformChain::deserialize(bytes);
    ASSERT_TRUE(chain.ok());
    EXPECT_TRUE(chain->empty());
  }
  EXPECT_EQ(TransformChain{}.serialize(), Bytes{0x00});
}

TEST(TransformChain, CutRecordsFailWithTheirMessages) {
  struct Case {
    Bytes bytes;
    const char* message;
  } cases[] = {
      {{0x01, 0x0D}, "transform record truncated"},
      {{0x01, 0x0D, 0x05, 0x00, 0x00, 0x00, 0xAA}, "transform metadata truncated"},
      {{0x01, 0x0D, 0xFF, 0xFF, 0xFF, 0xFF}, "transform metadata truncated"},
      {{0x02, 0x0D, 0x00, 0x00, 0x00, 0x00}, "transform record truncated"},
  };
  for (const auto& c : cases) {
    auto chain = TransformChain::deserialize(c.bytes);
    ASSERT_FALSE(chain.ok());
    EXPECT_EQ(chain.error().kind, kelvane::kvn::ErrorKind::InvalidData);
    EXPECT_EQ(chain.error().message, c.message);
  }
}

TEST(TransformChain, RoundTripsAndIgnoresTrailingBytes) {
  const Bytes stored = {0x02, 0x09, 0x02, 0x00, 0x00, 0x00, 0xAB, 0xCD,
                        0x0F, 0x00, 0x00, 0x00, 0x00, 0xEE, 0xEE};
  auto chain = TransformChain::deserialize(stored);
  ASSERT_TRUE(chain.ok());
  ASSERT_EQ(chain->records.size(), 2u);
  EXPECT_EQ(chain->records[0].kind, 9);
  EXPECT_EQ(Bytes(chain->records[0].metadata.begin(), chain->records[0].metadata.end()),
            (Bytes{0xAB, 0xCD}));
  // The records borrow the stored bytes rather than copy them.
  EXPECT_EQ(chain->records[0].metadata.data(), stored.data() + 6);
  EXPECT_EQ(chain->records[1].kind, 15);
  EXPECT_EQ(chain->serialize(), Bytes(stored.begin(), stored.end() - 2));
}
