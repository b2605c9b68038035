// The binary arithmetic coder: known streams, round trips, the decoder's
// behaviour past the end of its stream, and the cheapest possible coding
// against the decoded-length bound the container reader applies.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/cm_codec.hpp"
#include "entropy/arithmetic.hpp"

namespace {

using kelvane::entropy::ArithmeticDecoder;
using kelvane::entropy::ArithmeticEncoder;
using Bytes = std::vector<std::uint8_t>;

struct CodedBit {
  int bit;
  std::uint32_t p;
};

std::vector<CodedBit> bits_of(const std::string& text, std::uint32_t p) {
  std::vector<CodedBit> bits;
  for (unsigned char c : text) {
    for (int i = 7; i >= 0; --i) bits.push_back({(c >> i) & 1, p});
  }
  return bits;
}

Bytes encode_all(const std::vector<CodedBit>& bits) {
  ArithmeticEncoder encoder;
  for (const CodedBit& b : bits) encoder.encode(b.bit, b.p);
  return encoder.finish();
}

TEST(ArithmeticEncoder, ProducesKnownStreams) {
  const std::vector<CodedBit> mixed = {{1, 4095}, {1, 4095}, {1, 4095}, {0, 1},   {0, 1},
                                       {1, 1},    {0, 4095}, {1, 3000}, {0, 100}};
  const struct {
    const char* name;
    std::vector<CodedBit> bits;
    Bytes expected;
  } cases[] = {
      {"empty", {}, {0x00, 0x00, 0x00, 0x00}},
      {"one 1 at even odds", {{1, 2048}}, {0x80, 0x00, 0x00, 0x00}},
      {"one 0 at even odds", {{0, 2048}}, {0x00, 0x00, 0x00, 0x00}},
      // At p = 2048 every bit halves the interval exactly, so the stream is
      // the coded bytes themselves followed by the four bytes of low.
      {"text at even odds",
       bits_of("kelvane", 2048),
       {0x6b, 0x65, 0x6c, 0x76, 0x61, 0x6e, 0x65, 0x00, 0x00, 0x00, 0x00}},
      {"extreme and skewed odds", mixed, {0xff, 0xd0, 0x0c, 0x41, 0x6a, 0xdd, 0x00}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode_all(c.bits), c.expected) << c.name;
  }
}

TEST(ArithmeticEncoder, KeepsTheIntervalOfTheKnownSequence) {
  ArithmeticEncoder encoder;
  for (const CodedBit& b : std::vector<CodedBit>{{1, 4095}, {1, 4095}, {1, 4095}, {0, 1},
                                                 {0, 1}, {1, 1}, {0, 4095}, {1, 3000},
                                                 {0, 100}}) {
    encoder.encode(b.bit, b.p);
  }
  EXPECT_EQ(encoder.low(), 0x416add00u);
  EXPECT_EQ(encoder.high(), 0xf81e89a4u);
}

TEST(ArithmeticCoder, RoundTripsRandomBitsAtRandomOdds) {
  std::mt19937 rng(12345);
  for (int trial = 0; trial < 20; ++trial) {
    std::vector<CodedBit> bits(1 + rng() % 5000);
    for (auto& b : bits) {
      b.p = 1 + rng() % 4095;
      // Mostly follow the odds, sometimes fight them, to visit both branches
      // at every skew.
      const bool likely_one = b.p >= 2048;
      b.bit = (rng() % 8 == 0) ? !likely_one : likely_one;
    }
    const Bytes stream = encode_all(bits);
    ArithmeticDecoder decoder(stream);
    for (std::size_t i = 0; i < bits.size(); ++i) {
      ASSERT_EQ(decoder.decode(bits[i].p), bits[i].bit) << "trial " << trial << " bit " << i;
    }
  }
}

TEST(ArithmeticDecoder, ReadsZerosPastTheEndOfItsStream) {
  // An empty or cut stream decodes like one followed by zero bytes, without
  // failing: the same bits come out as from the explicitly zero-padded one.
  const Bytes stream = encode_all(bits_of("a cut stream decodes anyway", 1500));
  for (std::size_t keep : {std::size_t{0}, std::size_t{2}, std::size_t{5}}) {
    Bytes cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(keep));
    Bytes padded = cut;
    padded.resize(stream.size() + 64, 0);
    ArithmeticDecoder from_cut(cut);
    ArithmeticDecoder from_padded(padded);
    for (int i = 0; i < 4000; ++i) {
      const std::uint32_t p = 1 + (static_cast<std::uint32_t>(i) * 2654435761u) % 4095;
      ASSERT_EQ(from_cut.decode(p), from_padded.decode(p)) << "keep " << keep << " bit " << i;
    }
  }
}

// The cheapest a bit can ever be coded is a 1 at p = 4095 or a 0 at p = 1.
// Even then the stream stays within the honest bound (half the reader's
// limit), and that bound is close to tight.
TEST(ArithmeticCoder, CheapestCodingStaysWithinTheDecodedLengthBound) {
  for (int bit : {0, 1}) {
    const std::uint32_t p = bit ? 4095 : 1;
    for (std::uint64_t out_bytes : {std::uint64_t{1}, std::uint64_t{1000}, std::uint64_t{12000},
                                    std::uint64_t{8} << 20}) {
      ArithmeticEncoder encoder;
      for (std::uint64_t i = 0; i < out_bytes * 8; ++i) encoder.encode(bit, p);
      const std::uint64_t stream_bytes = encoder.finish().size();
      const std::uint64_t honest_limit = kelvane::codec::cm_max_decoded_length(stream_bytes) / 2;
      EXPECT_LE(out_bytes, honest_limit) << "bit " << bit << ", " << out_bytes << " bytes";
      if (out_bytes >= 1000000) {
        EXPECT_GT(out_bytes * 100, honest_limit * 99) << "the bound should be nearly tight";
      }
    }
  }
}

}  // namespace
