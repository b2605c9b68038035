// The FSST decoder: which stored symbol tables load, which codes are valid,
// and the decoding loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fsst/fsst.hpp"

namespace {

using kelvane::fsst::Decompressor;
using Bytes = std::vector<std::uint8_t>;

// 8 bytes per symbol; only the lengths decide whether a table loads.
Bytes symbols_for(std::size_t n) {
  Bytes out(8 * n);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>('a' + i % 26);
  return out;
}

TEST(FsstTable, LoadsOnlyTablesAnEncoderWrites) {
  const struct {
    Bytes lengths;
    bool valid;
  } cases[] = {
      {{}, true},
      {{2, 2, 3, 8, 1, 1}, true},
      {{1, 1, 1}, true},
      {{2, 5, 8}, true},
      {{3, 2}, false},
      {{1, 2}, false},
      {{2, 1, 3}, false},
      {{0}, false},
      {{9}, false},
      {Bytes(255, 1), true},
      {Bytes(256, 1), false},
  };
  for (const auto& c : cases) {
    const Bytes symbols = symbols_for(c.lengths.size());
    EXPECT_EQ(Decompressor::create(symbols, c.lengths).has_value(), c.valid)
        << "table of " << c.lengths.size();
  }
  // The symbols must be 8 bytes per length.
  EXPECT_FALSE(Decompressor::create(Bytes(7), Bytes{2}).has_value());
}

TEST(FsstDecode, WalksSymbolsAndEscapes) {
  Bytes symbols(24, 0xEE);
  const std::string ab = "ab", xyz = "xyz";
  std::copy(ab.begin(), ab.end(), symbols.begin());
  std::copy(xyz.begin(), xyz.end(), symbols.begin() + 8);
  symbols[16] = 'q';
  const auto table = Decompressor::create(symbols, Bytes{2, 3, 1});
  ASSERT_TRUE(table);
  const struct {
    Bytes codes;
    bool valid;
    std::string text;
  } cases[] = {
      {{0, 1, 2, 255, '!'}, true, "abxyzq!"},
      {{}, true, ""},
      {{255, 255}, true, "\xff"},
      {{2, 2, 0}, true, "qqab"},
      {{3}, false, ""},            // no symbol 3: stands for nothing
      {{0, 255}, false, "ab"},     // a trailing escape is dropped
      {{254, 1}, false, "xyz"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(table->codes_valid(c.codes), c.valid);
    Bytes out(*kelvane::fsst::output_capacity(c.codes.size()));
    const std::size_t n = table->decompress_into(c.codes, out.data());
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)), c.text);
  }
  EXPECT_EQ(kelvane::fsst::output_capacity(3), 39u);
  EXPECT_FALSE(kelvane::fsst::output_capacity(SIZE_MAX / 8));
}

}  // namespace
