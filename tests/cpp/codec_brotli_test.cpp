// Brotli payloads: streams of every size decode back through the standard
// decoder and ours; cut, corrupt and oversized streams are refused.
#include <gtest/gtest.h>

#include <brotli/decode.h>

#include "codec/brotli_coder.hpp"
#include "codec_test_support.hpp"

namespace kelvane::codec {
namespace {

using kvn::ErrorKind;
using namespace test;

TEST(Brotli, RoundTripsThroughBothDecoders) {
  struct Case {
    const char* name;
    Bytes data;
    std::uint32_t quality;
    std::uint32_t mode;
  };
  const Case cases[] = {
      {"empty", {}, 11, BROTLI_MODE_TEXT},
      {"one byte", {0x42}, 11, BROTLI_MODE_GENERIC},
      {"one step", Bytes(4096, 'z'), 10, BROTLI_MODE_TEXT},
      {"one step and a byte", random_bytes(4097, 3), 11, BROTLI_MODE_GENERIC},
      {"text in many steps", log_lines(3000), 9, BROTLI_MODE_TEXT},
      {"random in many steps", random_bytes(70000, 4), 10, 7},  // any other mode is generic
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto stream = brotli_compress(c.data, c.quality, c.mode);
    ASSERT_TRUE(stream.ok());
    auto ours = brotli_decompress(*stream);
    ASSERT_TRUE(ours.ok());
    EXPECT_EQ(*ours, c.data);

    Bytes theirs(c.data.size() + 1);
    std::size_t n = theirs.size();
    ASSERT_EQ(BrotliDecoderDecompress(stream->size(), stream->data(), &n, theirs.data()),
              BROTLI_DECODER_RESULT_SUCCESS);
    theirs.resize(n);
    EXPECT_EQ(theirs, c.data);
  }
}

TEST(Brotli, CutCorruptAndOversizedStreams) {
  const Bytes data = log_lines(500);
  const Bytes stream = brotli_compress(data, 11, BROTLI_MODE_TEXT).value();

  Bytes with_tail = stream;
  kvn::append_bytes(with_tail, Bytes(100, 0xFF));  // never read
  auto tail = brotli_decompress(with_tail);
  ASSERT_TRUE(tail.ok());
  EXPECT_EQ(*tail, data);

  const kvn::CodecError eof{ErrorKind::UnexpectedEof, "Unexpected EOF"};
  EXPECT_EQ(brotli_decompress({}).error(), eof);
  for (std::size_t keep : {std::size_t{1}, stream.size() / 2, stream.size() - 1}) {
    EXPECT_EQ(brotli_decompress(ByteSpan(stream).first(keep)).error(), eof) << keep;
  }
  EXPECT_EQ(brotli_decompress(Bytes(64, 0xFF)).error(), eof);

  auto limited = brotli_decompress(stream, data.size() - 1);
  ASSERT_FALSE(limited.ok());
  EXPECT_EQ(limited.error().kind, ErrorKind::InvalidData);
  EXPECT_TRUE(brotli_decompress(stream, data.size()).ok());
}

}  // namespace
}  // namespace kelvane::codec
