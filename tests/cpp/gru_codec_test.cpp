// What "balanced" adds to the loops of "max": the GRU's bit probability, the
// blender's table, and the progress lines, through their pure function and
// on file descriptor 2 itself. The loops themselves are tested with those of
// "max" (cm_codec_test.cpp).
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "cm_test_config.hpp"
#include "codec/cm_codec.hpp"
#include "codec/gru_progress.hpp"
#include "model/gru_blend.hpp"
#include "model/gru_model.hpp"

namespace {

namespace codec = kelvane::codec;
namespace model = kelvane::model;
using Bytes = std::vector<std::uint8_t>;
using kelvane::testing::kTinyConfig;

// A GRU with a prediction whose distribution is `probs` (the rest 0).
model::GruModel gru_predicting(const std::vector<std::pair<int, float>>& probs) {
  auto gru = model::GruModel::create();
  EXPECT_TRUE(gru.ok());
  gru->forward(0);
  for (float& p : gru->field(model::GruField::OutputProbs)) p = 0.0f;
  for (const auto& [k, p] : probs) gru->field(model::GruField::OutputProbs)[k] = p;
  return std::move(gru).value();
}

TEST(GruBitProbability, SplitsTheMatchingBytesByTheNextBit) {
  auto fresh = model::GruModel::create();
  ASSERT_TRUE(fresh.ok());
  for (std::uint32_t bp = 0; bp < 8; ++bp) EXPECT_EQ(model::gru_bit_probability(*fresh, bp, 0), 2048u);

  struct Case {
    std::vector<std::pair<int, float>> probs;
    std::uint32_t bp, partial, p;
    const char* why;
  };
  const Case cases[] = {
      {{{0x00, 0.25f}, {0x80, 0.75f}}, 0, 0, 3072, "all 256 bytes, top bit"},
      {{{0x00, 0.5f}, {0x80, 0.25f}}, 0, 0, 1365, "4096 / 3, truncated"},
      {{{0x80, 0.25f}, {0xC0, 0.75f}}, 1, 1, 3072, "bytes 0x80..0xFF, second bit"},
      {{{0x80, 0.25f}, {0xC0, 0.75f}}, 0, 0, 4095, "every weight on a 1: at most 4095"},
      {{{0x7F, 0.75f}, {0xFF, 1e-8f}}, 0, 0, 1, "below one point: 1"},
      {{{0x40, 0.5f}, {0x41, 0.5f}}, 7, 0x20, 2048, "last bit, between 0x40 and 0x41"},
      {{{0x41, 1.0f}}, 3, 0x5, 2048, "no byte matches: even odds"},
  };
  for (const Case& c : cases) {
    const model::GruModel gru = gru_predicting(c.probs);
    EXPECT_EQ(model::gru_bit_probability(gru, c.bp, c.partial), c.p) << c.why;
  }
}

TEST(GruBlender, StartsOnItsRampAndAveragesWithTheMix) {
  auto blender = model::GruBlender::create();
  ASSERT_TRUE(blender.ok());
  struct Cell {
    std::uint32_t row, col, value;
  };
  const Cell cells[] = {{0, 0, 1}, {0, 31, 236}, {10, 5, 611}, {31, 31, 2015}, {63, 63, 4095}};
  for (const Cell& c : cells) EXPECT_EQ(blender->cell(c.row, c.col), c.value) << c.row << "/" << c.col;

  struct Blend {
    std::uint32_t p_cm, p_gru, p;
  };
  const Blend blends[] = {
      {2048, 2048, 2031},  // the first bit: mix 2048, cell [31][31] = 2015
      {1, 1, 1},
      {4095, 4095, 4095},
      {4095, 1, 3615},     // mix 3615 and cell [63][0] 3615
  };
  for (const Blend& b : blends) {
    EXPECT_EQ(blender->blend(b.p_cm, b.p_gru), b.p) << b.p_cm << " " << b.p_gru;
  }
}

TEST(GruBlender, MovesTheCellReadTowardTheBitWithASignedStep) {
  struct Case {
    std::uint32_t bit, cell_after;
  };
  // Cell [31][31] starts at 2015: up by (4095 - 2015) >> 5, down by (1 - 2015) >> 5 = -63.
  const Case cases[] = {{1, 2080}, {0, 1952}};
  for (const Case& c : cases) {
    auto blender = model::GruBlender::create();
    ASSERT_TRUE(blender.ok());
    blender->blend(2048, 2048);
    blender->update(c.bit);
    EXPECT_EQ(blender->cell(31, 31), c.cell_after) << c.bit;
    EXPECT_EQ(blender->cell(31, 30), 2007u);  // untouched
  }
}

TEST(GruProgress, LinesAtEveryTwentiethAndAtTheEnd) {
  using codec::GruDirection;
  struct Case {
    GruDirection direction;
    std::uint64_t done, len;
    const char* text;
  };
  const Case cases[] = {
      {GruDirection::Compress, 5000, 100000, ""},
      {GruDirection::Compress, 100000, 100000, ""},
      {GruDirection::Compress, 4999, 100001, ""},
      {GruDirection::Compress, 5000, 100001, "\r[gru] compressing... 4%"},
      {GruDirection::Compress, 100000, 100001, "\r[gru] compressing... 99%"},
      {GruDirection::Compress, 100001, 100001, "\r[gru] compressing... 100%\n"},
      {GruDirection::Decompress, 5000, 100001, "\r[gru] decompressing... 4%"},
      {GruDirection::Decompress, 100001, 100001, "\r[gru] decompressing... 100%\n"},
      {GruDirection::Compress, 10000, 200000, "\r[gru] compressing... 5%"},
      {GruDirection::Compress, 200000, 200000,
       "\r[gru] compressing... 100%\r[gru] compressing... 100%\n"},
      {GruDirection::Decompress, 200000, 200000,
       "\r[gru] decompressing... 100%\r[gru] decompressing... 100%\n"},
      {GruDirection::Compress, 4294967295, 4294967295, "\r[gru] compressing... 100%\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(codec::gru_progress_text(c.direction, c.done, c.len), c.text)
        << c.done << " of " << c.len;
  }
  // Whole runs: nothing at 100,000 bytes; twenty lines and the final one above.
  for (const auto& [len, lines] : {std::pair<std::uint64_t, int>{100000, 0}, {100001, 21}, {200000, 21}}) {
    int count = 0;
    for (std::uint64_t done = 1; done <= len; ++done) {
      const std::string text = codec::gru_progress_text(GruDirection::Decompress, done, len);
      for (std::size_t at = text.find('\r'); at != std::string::npos; at = text.find('\r', at + 1)) ++count;
    }
    EXPECT_EQ(count, lines) << len;
  }
}

// What both loops write to file descriptor 2 itself while they code `data`
// and decode it again into `restored`.
std::string standard_error_of_round_trip(const Bytes& data, Bytes& restored) {
  char path[] = "/tmp/kelvane_gru_stderr_XXXXXX";
  const int capture = mkstemp(path);
  std::fflush(stderr);
  const int saved = dup(2);
  if (capture < 0 || saved < 0 || dup2(capture, 2) != 2) {
    ADD_FAILURE() << "cannot send standard error to " << path;
    return {};
  }
  const auto stream = codec::gru_compress(data, kTinyConfig);
  const auto decoded = stream.ok() ? codec::gru_decompress(stream.value(),
                                                           static_cast<std::uint32_t>(data.size()),
                                                           kTinyConfig)
                                   : stream;
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  close(capture);
  std::ifstream in(path, std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  unlink(path);
  EXPECT_TRUE(decoded.ok()) << decoded.error().message;
  if (decoded.ok()) restored = decoded.value();
  return written;
}

TEST(GruCodec, EmptyCallWritesNothingToStandardError) {
  Bytes restored = {0xAA};
  EXPECT_EQ(standard_error_of_round_trip({}, restored), "");
  EXPECT_TRUE(restored.empty());
}

#if !defined(__SANITIZE_ADDRESS__)
// The lines reach file descriptor 2 itself, from both loops, on an input
// just above the threshold. Too slow for unoptimised sanitizer builds, where
// the pure function above stands for it.
TEST(GruCodec, WritesProgressLinesToStandardError) {
  Bytes data;
  while (data.size() < 100001) {
    const std::string line = "line " + std::to_string(data.size() % 977) + " of the log\n";
    data.insert(data.end(), line.begin(), line.end());
  }
  data.resize(100001);

  Bytes restored;
  const std::string written = standard_error_of_round_trip(data, restored);
  EXPECT_EQ(restored, data);
  std::string expected;
  for (const char* verb : {"compressing", "decompressing"}) {
    for (int step = 1; step <= 20; ++step) {
      expected += std::string("\r[gru] ") + verb + "... " + std::to_string(step * 5000 * 100 / 100001) + "%";
    }
    expected += std::string("\r[gru] ") + verb + "... 100%\n";
  }
  EXPECT_EQ(written, expected);
}
#endif

}  // namespace
