// The compression driver: format detection, metadata packing, the turbo
// rules, the header it writes, and "fast" containers that decode back and
// are never larger than the best single library call.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include <brotli/encode.h>
#include <zstd.h>

#include "codec/brotli_coder.hpp"
#include "codec/codec.hpp"
#include "codec/dict_coder.hpp"
#include "codec/driver.hpp"
#include "codec/fast_race.hpp"
#include "codec/zstd_util.hpp"
#include "codec_test_support.hpp"

namespace kelvane::codec {
namespace {

using kvn::FormatHint;
using namespace test;

constexpr std::uint8_t kFast = 2;

TEST(Driver, DetectsTheFormat) {
  std::string ten_objects = "[\n";
  for (int i = 0; i < 10; ++i) ten_objects += "{\"a\":1},\n";
  ten_objects += "]";
  const struct {
    std::string input;
    FormatHint expected;
  } cases[] = {
      {"", FormatHint::Generic},
      {" \t\r\n\f", FormatHint::Generic},
      {"\x0b{\"a\":1}", FormatHint::Generic},
      {"hello {", FormatHint::Generic},
      {"[1,2,3]", FormatHint::Json},
      {"{\"a\":1}", FormatHint::Json},
      {"{\"a\":1}\n{\"b\":2}", FormatHint::Ndjson},
      {"  {\"a\":1}\n\n   \n\t{\"b\":2}\n", FormatHint::Ndjson},
      {"{}\n{}\n{}\n{}\nx", FormatHint::Json},  // 4 of 5: not above 0.8
      {"{}\n{}\n{}\n{}\n{}\nx", FormatHint::Ndjson},
      {"[\n{\"a\":1},\n{\"a\":2}\n]", FormatHint::Json},  // 2 of 4
      {ten_objects, FormatHint::Ndjson},                   // 10 of 12
  };
  for (const auto& c : cases) {
    EXPECT_EQ(auto_detect_format(to_bytes(c.input)), c.expected) << c.input;
  }
}

TEST(Driver, SizeThresholds) {
  constexpr std::uint64_t MiB = 1048576;
  const struct {
    std::uint64_t n;
    int zstd_level;
    std::uint32_t brotli_quality;
  } cases[] = {{0, 19, 11},           {MiB, 19, 11},           {MiB + 1, 19, 10},
               {16 * MiB, 19, 10},    {16 * MiB + 1, 16, 9},   {64 * MiB, 16, 9},
               {64 * MiB + 1, 9, 9}};
  for (const auto& c : cases) {
    EXPECT_EQ(default_zstd_level(c.n), c.zstd_level) << c.n;
    EXPECT_EQ(default_brotli_quality(c.n), c.brotli_quality) << c.n;
  }
}

TEST(Driver, PacksMetadata) {
  const struct {
    const char* name;
    Bytes metadata;
    bool zstd;
  } cases[] = {
      {"empty", {}, false},
      {"64 compressible bytes", Bytes(64, 'm'), false},
      {"65 compressible bytes", Bytes(65, 'm'), true},
      {"random bytes", random_bytes(500, 9), false},  // zstd is not smaller
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PackedMetadata packed = pack_metadata(c.metadata);
    EXPECT_EQ(packed.zstd, c.zstd);
    EXPECT_EQ(metadata_estimate(c.metadata), packed.section.size());
    if (packed.zstd) {
      EXPECT_LT(packed.section.size(), c.metadata.size());
      EXPECT_EQ(zstd_decompress_bounded(packed.section, 1000).value(), c.metadata);
    } else {
      EXPECT_EQ(packed.section, c.metadata);
    }
  }
}

struct Header {
  std::uint8_t mode, hint, flags;
  std::uint64_t original_size, compressed_size;
  std::uint32_t crc, meta_len;
};

Header header_at(const Bytes& sink, std::size_t at) {
  const std::uint8_t* p = sink.data() + at;
  EXPECT_EQ(kvn::load_u32_le(p), kvn::KVN_MAGIC);
  EXPECT_EQ(p[4], kvn::KVN_VERSION);
  return {p[5], p[6], p[7], kvn::load_u64_le(p + 8), kvn::load_u64_le(p + 16),
          kvn::load_u32_le(p + 24), kvn::load_u32_le(p + 28)};
}

TEST(Driver, WritesTheHeaderAfterWhatTheSinkHolds) {
  const Bytes data = log_lines(50);
  Bytes sink = {0xAA, 0xBB, 0xCC};
  ASSERT_TRUE(compress_with_all_options(data, kFast, kvn::FORMAT_AUTO, std::nullopt, false, sink).ok());
  EXPECT_EQ(Bytes(sink.begin(), sink.begin() + 3), (Bytes{0xAA, 0xBB, 0xCC}));
  const Header h = header_at(sink, 3);
  EXPECT_EQ(h.mode, kFast);
  EXPECT_EQ(h.hint, static_cast<std::uint8_t>(FormatHint::Ndjson));
  EXPECT_EQ(h.flags & 0xE5, 0);  // no metadata with an empty chain, bits 5-7 clear
  EXPECT_EQ(h.original_size, data.size());
  EXPECT_EQ(h.compressed_size, sink.size() - 3 - 32);
  EXPECT_EQ(h.crc, crc32(data));
  EXPECT_EQ(h.meta_len, 0u);
  EXPECT_EQ(decompress_from_slice(ByteSpan(sink).subspan(3)).value(), data);

  // A given hint is stored as it is; bad arguments append nothing.
  Bytes csv;
  ASSERT_TRUE(compress_with_all_options(data, kFast, 4, 5, true, csv).ok());
  EXPECT_EQ(header_at(csv, 0).hint, 4);
  Bytes untouched = {1, 2};
  EXPECT_FALSE(compress_with_all_options(data, 3, 0, std::nullopt, false, untouched).ok());
  EXPECT_FALSE(compress_with_all_options(data, kFast, 12, std::nullopt, false, untouched).ok());
  EXPECT_EQ(untouched, (Bytes{1, 2}));
}

// The brotli stream the race's raw candidate is held against, made with
// the library's streaming API in one step.
Bytes brotli_q11_text(const Bytes& data) {
  BrotliEncoderState* s = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
  BrotliEncoderSetParameter(s, BROTLI_PARAM_QUALITY, 11);
  BrotliEncoderSetParameter(s, BROTLI_PARAM_LGWIN, 22);
  BrotliEncoderSetParameter(s, BROTLI_PARAM_MODE, BROTLI_MODE_TEXT);
  Bytes out;
  std::size_t avail_in = data.size();
  const std::uint8_t* next_in = data.data();
  std::uint8_t buf[65536];
  while (!BrotliEncoderIsFinished(s)) {
    std::size_t avail_out = sizeof buf;
    std::uint8_t* next_out = buf;
    EXPECT_TRUE(BrotliEncoderCompressStream(s, BROTLI_OPERATION_FINISH, &avail_in, &next_in,
                                            &avail_out, &next_out, nullptr));
    out.insert(out.end(), buf, next_out);
  }
  BrotliEncoderDestroyInstance(s);
  return out;
}

std::size_t zstd19(const Bytes& data) {
  Bytes out(ZSTD_compressBound(data.size()));
  return ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 19);
}

Bytes corpus_prefix(std::size_t n) {
  for (const auto& entry : std::filesystem::directory_iterator(KELVANE_CORPUS_DIR)) {
    if (entry.path().extension() != ".ndjson") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    Bytes out(n);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(n));
    out.resize(static_cast<std::size_t>(in.gcount()));
    return out;
  }
  return {};
}

TEST(Driver, FastRoundTripsAndNeverLosesToOneLibraryCall) {
  std::vector<std::pair<const char*, Bytes>> inputs = {
      {"empty", {}},
      {"blanks", to_bytes(" \n\t ")},
      {"short text", to_bytes("abc")},
      {"json array", to_bytes("[{\"a\":1,\"b\":[true,null]},{\"a\":2,\"b\":[]}]")},
      {"ndjson", log_lines(3000)},
      {"random", random_bytes(100000, 5)},
  };
  {
    Bytes mib = log_lines(20000);
    mib.resize(1048576, '\n');
    inputs.emplace_back("exactly 1 MiB", std::move(mib));
  }
  if (std::filesystem::is_directory(KELVANE_CORPUS_DIR)) {
    Bytes logs = corpus_prefix(300000);
    if (!logs.empty()) inputs.emplace_back("corpus logs", std::move(logs));
  }
  for (const auto& [name, data] : inputs) {
    SCOPED_TRACE(name);
    Bytes sink;
    ASSERT_TRUE(compress_with_all_options(data, kFast, kvn::FORMAT_AUTO, std::nullopt, false, sink).ok());
    auto restored = decompress_from_slice(sink);
    ASSERT_TRUE(restored.ok()) << restored.error().message;
    EXPECT_EQ(*restored, data);
    EXPECT_LE(sink.size(), 32 + std::min(zstd19(data), brotli_q11_text(data).size()));
  }
}

TEST(Driver, TurboRules) {
  const Bytes text = log_lines(400);
  const Bytes noise = random_bytes(5000, 11);
  const Bytes chain = opaque_chain(Bytes(20, 'c'));
  auto zstd_at = [](const Bytes& d, int level) { return zstd_compress(d, level).value(); };
  struct Case {
    const char* name;
    Bytes transformed, input, metadata;
    std::optional<std::int32_t> level;
    bool raw_wins;
    int expected_level;
  };
  const Case cases[] = {
      {"level 3 by default, equal totals keep the transformed", text, text, {}, std::nullopt,
       false, 3},
      {"a given level", text, text, {}, 7, false, 7},
      {"transformed smaller", Bytes(5000, 'a'), noise, chain, std::nullopt, false, 3},
      {"raw smaller", noise, text, chain, std::nullopt, true, 3},
      {"transformed past the decode capacity", Bytes(70000, 'a'), Bytes(), chain, std::nullopt,
       true, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto winner = turbo_join(c.transformed, c.input, c.metadata, c.level);
    ASSERT_TRUE(winner.ok());
    EXPECT_EQ(winner->raw, c.raw_wins);
    EXPECT_FALSE(winner->dict || winner->brotli || winner->embedded);
    EXPECT_EQ(winner->payload, zstd_at(c.raw_wins ? c.input : c.transformed, c.expected_level));

    // In the container: a section only when the transformed bytes won.
    format::Preprocessed pre{c.transformed, {}};
    if (!c.metadata.empty()) {
      const auto stored = format::transform::TransformChain::deserialize(c.metadata).value();
      for (const auto& record : stored.records) {
        pre.chain.records.push_back({record.kind, Bytes(record.metadata.begin(), record.metadata.end())});
      }
    }
    Bytes sink;
    ASSERT_TRUE(compress_preprocessed(c.input, kFast, 0, crc32(c.input), pre, c.level, true, sink).ok());
    const Header h = header_at(sink, 0);
    const bool section = !c.raw_wins && !c.metadata.empty();
    EXPECT_EQ(h.flags, section ? kvn::FLAG_HAS_METADATA : 0);
    EXPECT_EQ(h.meta_len, section ? c.metadata.size() : 0u);
  }
}

// A container whose payload was made from `transformed`: decode it against
// a header that declares the transformed bytes.
Bytes decode_as(const Bytes& sink, const Bytes& transformed) {
  auto view = parse_container(sink).value();
  view.header.original_size = transformed.size();
  view.header.crc32 = crc32(transformed);
  auto r = decompress_with_model(view.header, view.metadata, view.payload);
  EXPECT_TRUE(r.ok()) << r.error().message;
  return r.ok() ? r.value() : Bytes();
}

TEST(Driver, EachWinnerGetsItsFlagsAndSection) {
  const Bytes input = log_lines(300);
  const Bytes t = log_lines(200, 7);
  const Bytes small_chain = opaque_chain(Bytes(10, 'c'));
  const Bytes large_chain = opaque_chain(Bytes(400, 'c'));
  auto zstd3 = [](const Bytes& d) { return zstd_compress(d, 3).value(); };
  auto brotli = [](const Bytes& d) { return brotli_compress(d, 9, BROTLI_MODE_GENERIC).value(); };
  auto winner = [](Bytes payload, bool dict, bool raw, bool br, bool embedded) {
    CandidateResult c;
    c.payload = std::move(payload);
    c.dict = dict;
    c.raw = raw;
    c.brotli = br;
    c.embedded = embedded;
    return c;
  };
  const Bytes big_t = log_lines(3000, 8);
  struct Case {
    const char* name;
    Bytes decoded;  // what the payload holds
    Bytes metadata;
    CandidateResult winner;
    std::uint8_t flags;
  };
  const std::uint8_t meta = kvn::FLAG_HAS_METADATA;
  const std::uint8_t meta_z = kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD;
  const Case cases[] = {
      {"no chain", t, {}, winner(zstd3(t), false, false, false, false), 0},
      {"transformed zstd, raw section", t, small_chain, winner(zstd3(t), false, false, false, false), meta},
      {"transformed zstd, zstd section", t, large_chain, winner(zstd3(t), false, false, false, false), meta_z},
      // A reader inflates a section to at most the input's length + 64 KiB.
      {"chain beyond the metadata capacity, raw section", t,
       opaque_chain(Bytes(input.size() + 65536, 'c')), winner(zstd3(t), false, false, false, false), meta},
      {"transformed brotli", t, small_chain, winner(brotli(t), false, false, true, false),
       meta | kvn::FLAG_BROTLI},
      {"dictionary", big_t, large_chain,
       winner(try_dict_compress(big_t, 3, UINT64_MAX).value(), true, false, false, false),
       meta_z | kvn::FLAG_DICT},
      {"raw zstd", input, large_chain, winner(zstd3(input), false, true, false, false), 0},
      {"raw brotli", input, large_chain, winner(brotli(input), false, true, true, false),
       kvn::FLAG_BROTLI},
      {"embedded zstd", t, large_chain,
       winner(zstd3(embedded_block(large_chain, t)), false, false, false, true),
       kvn::FLAG_EMBEDDED_METADATA},
      {"embedded brotli", t, small_chain,
       winner(brotli(embedded_block(small_chain, t)), false, false, true, true),
       kvn::FLAG_EMBEDDED_METADATA | kvn::FLAG_BROTLI},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes sink;
    ASSERT_TRUE(write_container(input, kFast, 3, crc32(input), c.metadata, c.winner, sink).ok());
    const Header h = header_at(sink, 0);
    EXPECT_EQ(h.flags, c.flags);
    EXPECT_EQ(h.compressed_size, c.winner.payload.size());
    const std::size_t section = sink.size() - 32 - c.winner.payload.size();
    EXPECT_EQ(h.meta_len, section);
    if (c.flags & kvn::FLAG_METADATA_ZSTD) {
      EXPECT_LT(section, c.metadata.size());
    } else if (c.flags & kvn::FLAG_HAS_METADATA) {
      EXPECT_EQ(section, c.metadata.size());
    }
    EXPECT_EQ(decode_as(sink, c.decoded), c.decoded);
  }
}

TEST(Driver, RaceThroughTheDriverCanPickTheEmbeddedBlock) {
  // The chain repeats the transformed bytes, so coding them together wins.
  const Bytes noise = random_bytes(20000, 21);
  const Bytes shared = random_bytes(300, 22);
  format::Preprocessed pre{shared, {}};
  pre.chain.records.push_back({200, shared});
  Bytes sink;
  ASSERT_TRUE(compress_preprocessed(noise, kFast, 0, crc32(noise), pre, std::nullopt, false, sink).ok());
  const Header h = header_at(sink, 0);
  EXPECT_EQ(h.flags & ~kvn::FLAG_BROTLI, kvn::FLAG_EMBEDDED_METADATA);
  EXPECT_EQ(h.meta_len, 0u);
  EXPECT_EQ(decode_as(sink, shared), shared);
}

}  // namespace
}  // namespace kelvane::codec
