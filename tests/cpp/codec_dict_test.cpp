// Dictionary-trained zstd: how samples are picked and chunks sized, the
// budget rule, the DictPayload layout, and every refusal of its decoder.
#include <gtest/gtest.h>

#include <cstdio>

#include <zstd.h>

#include "codec/codec.hpp"
#include "codec/dict_coder.hpp"
#include "codec/zstd_util.hpp"
#include "codec_test_support.hpp"

namespace kelvane::codec {
namespace {

using kvn::ErrorKind;
using namespace test;

// Columns of `count` values of `width` bytes, 0x00 between columns.
Bytes columnar(std::size_t columns, std::size_t width, std::size_t rows) {
  Bytes out;
  for (std::size_t c = 0; c < columns; ++c) {
    if (c) out.push_back(0x00);
    for (std::size_t r = 0; r < rows; ++r) {
      if (r) out.push_back(0x01);
      char v[32];
      const int n = std::snprintf(v, sizeof v, "c%zu-%zu", c, (r * 7919) % 97);
      const auto len = static_cast<std::size_t>(n);
      out.insert(out.end(), v, v + len);
      out.resize(out.size() + (width > len ? width - len : 0), 'p');
    }
  }
  return out;
}

TEST(DictCoder, ChunkSizesByLength) {
  const struct {
    std::size_t length, chunk, capacity;
  } cases[] = {{0, 16384, 4096},          {262144, 16384, 4096},   {262145, 32768, 4096},
               {1048576, 32768, 4096},    {1048577, 65536, 8192},  {4194304, 65536, 8192},
               {4194305, 131072, 16384}};
  for (const auto& c : cases) {
    const DictChunking plan = dict_chunking(c.length);
    EXPECT_EQ(plan.chunk_size, c.chunk) << c.length;
    EXPECT_EQ(plan.dict_capacity, c.capacity) << c.length;
  }
}

TEST(DictCoder, TrainingSamples) {
  auto lengths = [](const std::vector<TrainingSample>& samples) {
    std::vector<std::size_t> out;
    for (const auto& s : samples) out.push_back(s.length);
    return out;
  };
  using L = std::vector<std::size_t>;
  auto pieces = [](std::initializer_list<std::size_t> sizes) {
    Bytes out;
    bool first = true;
    for (std::size_t n : sizes) {
      if (!first) out.push_back(0);
      first = false;
      out.resize(out.size() + n, 'a');
    }
    return out;
  };
  EXPECT_EQ(lengths(generate_training_samples(Bytes(65536, 'x'), 16384)), L(4, 16384));
  EXPECT_EQ(lengths(generate_training_samples(Bytes(65537, 'x'), 16384)),
            (L{16384, 16384, 16384, 16384, 1}));
  EXPECT_TRUE(generate_training_samples({}, 16384).empty());
  // Columns: five pieces averaging 8 or more, empty ones dropped.
  EXPECT_EQ(lengths(generate_training_samples(pieces({8, 9, 10, 8, 8}), 4)), (L{8, 9, 10, 8, 8}));
  EXPECT_EQ(lengths(generate_training_samples(pieces({0, 20, 0, 9, 0}), 4)), (L{20, 9}));
  const std::vector<TrainingSample> spans = generate_training_samples(pieces({3, 20}), 16);
  EXPECT_EQ(spans, (std::vector<TrainingSample>{{0, 16}, {16, 8}}));  // fewer than 5 pieces
  EXPECT_EQ(lengths(generate_training_samples(pieces({7, 7, 7, 7, 7}), 16)), (L{16, 16, 7}));
  EXPECT_EQ(lengths(generate_training_samples(pieces({0, 0, 0, 0, 0}), 16)), (L{4}));
  EXPECT_EQ(lengths(generate_training_samples(Bytes(1u << 20, 0), 16384)), L(64, 16384));

  // Fewer than five samples: nothing, at once.
  EXPECT_FALSE(try_dict_compress(Bytes(65536, 'x'), 3, UINT64_MAX).has_value());
  EXPECT_FALSE(try_dict_compress(pieces({0, 5000, 0, 5000, 0}), 3, UINT64_MAX).has_value());
}

TEST(DictCoder, PayloadLayoutBudgetAndRoundTrip) {
  const Bytes data = columnar(12, 10, 3000);
  auto payload = try_dict_compress(data, 3, UINT64_MAX);
  ASSERT_TRUE(payload.has_value());

  // Parse it with the library alone: dictionary, then frames of 16 KiB chunks.
  kvn::ByteReader in(*payload);
  std::uint32_t dict_size = 0, num_chunks = 0;
  kvn::ByteSpan dict;
  ASSERT_TRUE(in.read_u32(dict_size) && in.read_bytes(dict_size, dict) && in.read_u32(num_chunks));
  EXPECT_LE(dict_size, 4096u);
  const std::size_t chunk = dict_chunking(data.size()).chunk_size;
  EXPECT_EQ(num_chunks, (data.size() + chunk - 1) / chunk);
  Bytes restored;
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  for (std::uint32_t i = 0; i < num_chunks; ++i) {
    std::uint32_t f = 0;
    kvn::ByteSpan frame;
    ASSERT_TRUE(in.read_u32(f) && in.read_bytes(f, frame));
    Bytes out(chunk);
    const std::size_t n = ZSTD_decompress_usingDict(dctx, out.data(), out.size(), frame.data(),
                                                    frame.size(), dict.data(), dict.size());
    ASSERT_FALSE(ZSTD_isError(n));
    restored.insert(restored.end(), out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
  }
  ZSTD_freeDCtx(dctx);
  EXPECT_TRUE(in.at_end());
  EXPECT_EQ(restored, data);

  auto ours = decompress_with_dict(*payload, data.size());
  ASSERT_TRUE(ours.ok());
  EXPECT_EQ(*ours, data);

  // Returned only when strictly smaller than the budget.
  EXPECT_FALSE(try_dict_compress(data, 3, payload->size()).has_value());
  EXPECT_EQ(try_dict_compress(data, 3, payload->size() + 1), payload);
}

TEST(DictCoder, DecoderRefusals) {
  const Bytes data = columnar(12, 10, 3000);
  const Bytes good = try_dict_compress(data, 3, UINT64_MAX).value();
  kvn::ByteReader in(good);
  std::uint32_t dict_size = 0, num_chunks = 0, first_frame = 0;
  ASSERT_TRUE(in.read_u32(dict_size) && in.skip(dict_size) && in.read_u32(num_chunks) &&
              in.read_u32(first_frame));
  const std::size_t chunks_at = 8 + dict_size;

  auto with_u32_at = [&](std::size_t at, std::uint32_t v) {
    Bytes b = good;
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
  };
  Bytes corrupt_second = good;
  corrupt_second[chunks_at + 4 + first_frame + 4] ^= 0xFF;  // magic of chunk 1's frame
  Bytes bad_dict = {8, 0, 0, 0, 0x37, 0xA4, 0x30, 0xEC, 1, 0, 0, 0, 0, 0, 0, 0};
  const std::string load_error = [&] {  // whatever zstd reports for it
    ZSTD_DCtx* d = ZSTD_createDCtx();
    const std::size_t r = ZSTD_DCtx_loadDictionary(d, bad_dict.data() + 4, 8);
    ZSTD_freeDCtx(d);
    return std::string(ZSTD_isError(r) ? ZSTD_getErrorName(r) : "loaded");
  }();
  const std::size_t chunk = dict_chunking(data.size()).chunk_size;

  // Each refusal, from the decoder and from a container that carries the
  // payload (whose capacity is 2 x original_size + 65536).
  struct Case {
    const char* name;
    Bytes payload;
    std::uint64_t original_size;
    std::string message;
  };
  const std::uint64_t n = data.size();
  const std::string crossing = "chunk " + std::to_string(65536 / chunk) + " decompress failed: ";
  const Case cases[] = {
      {"3 bytes", {1, 2, 3}, n, "dict payload too short for dict_size"},
      {"dictionary cut", {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}, n,
       "dict payload truncated: dictionary bytes"},
      {"num_chunks cut", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(chunks_at) - 1),
       n, "dict payload truncated: num_chunks"},
      {"chunk size cut", Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(chunks_at) + 2),
       n, "dict payload truncated: chunk 0 size"},
      {"chunk data past the end", with_u32_at(chunks_at, 0xFFFFFFF0), n,
       "dict payload truncated: chunk 0 data"},
      {"dictionary does not load", bad_dict, n, load_error},
      {"chunk 1 corrupt", corrupt_second, n,
       std::string("chunk 1 decompress failed: ") + ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
      {"a chunk crosses the capacity", good, 0,
       crossing + ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto direct = decompress_with_dict(c.payload, 2 * c.original_size + 65536);
    ASSERT_FALSE(direct.ok());
    EXPECT_EQ(direct.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(direct.error().message, c.message);
    Fields f;
    f.flags = kvn::FLAG_DICT;
    f.original_size = c.original_size;
    auto via_container = decompress_from_slice(container(f, {}, c.payload));
    ASSERT_FALSE(via_container.ok());
    EXPECT_EQ(via_container.error(), direct.error());
  }
  // A payload that just fits its capacity decodes.
  EXPECT_EQ(decompress_with_dict(good, data.size()).value(), data);

  // No chunks: empty output; bytes after the last record: ignored.
  auto none = decompress_with_dict(Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0xAA}, 0);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  Bytes tail = good;
  kvn::append_bytes(tail, Bytes(7, 0xCC));
  EXPECT_EQ(decompress_with_dict(tail, data.size()).value(), data);
}

}  // namespace
}  // namespace kelvane::codec
