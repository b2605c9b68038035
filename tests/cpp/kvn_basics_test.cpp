// The container vocabulary and the checked byte reader.
#include <gtest/gtest.h>

#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace kvn = kelvane::kvn;

TEST(FormatHint, AcceptsZeroToTenAndNamesThem) {
  const char* names[] = {"generic", "json", "markdown", "ndjson", "csv", "code",
                         "log", "logfmt", "prometheus", "yaml", "xml"};
  for (std::uint8_t v = 0; v <= 10; ++v) {
    auto hint = kvn::format_hint_from_u8(v);
    ASSERT_TRUE(hint.ok());
    EXPECT_EQ(kvn::format_name(*hint), names[v]);
  }
}

TEST(FormatHint, RejectsValuesAboveTen) {
  for (int v : {11, 12, 255}) {
    auto hint = kvn::format_hint_from_u8(static_cast<std::uint8_t>(v));
    ASSERT_FALSE(hint.ok());
    EXPECT_EQ(hint.error().kind, kvn::ErrorKind::InvalidData);
    EXPECT_EQ(hint.error().message, "unknown format: " + std::to_string(v));
  }
}

TEST(ModeName, NamesTheThreeModes) {
  EXPECT_EQ(kvn::mode_name(0), "max");
  EXPECT_EQ(kvn::mode_name(1), "balanced");
  EXPECT_EQ(kvn::mode_name(2), "fast");
  EXPECT_EQ(kvn::mode_name(3), "");
}

TEST(ByteReader, RefusesToReadPastTheEndWithoutMoving) {
  const kvn::Bytes data = {1, 2, 3, 4, 5};
  kvn::ByteReader reader(data);
  std::uint32_t v = 0;
  ASSERT_TRUE(reader.read_u32(v));
  EXPECT_EQ(v, 0x04030201u);
  EXPECT_FALSE(reader.read_u32(v));
  EXPECT_EQ(reader.position(), 4u);
  kvn::ByteSpan span;
  EXPECT_FALSE(reader.read_bytes(UINT64_MAX, span));
  EXPECT_FALSE(reader.read_bytes(2, span));
  EXPECT_TRUE(reader.read_bytes(1, span));
  EXPECT_TRUE(reader.at_end());
}
