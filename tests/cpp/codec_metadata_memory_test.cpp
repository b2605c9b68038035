// Decoding hostile metadata costs memory in proportion to the sizes it
// declares. A zstd metadata section that inflates to a large chain is held
// once, at its inflated size: it is inflated into a buffer of its exact
// length, the chain's records borrow it, and the inflation stops at
// original_size + 64 KiB. A forged chain that repeats the flattening kinds
// gets no more room to expand than one flattening gives. Every C++
// allocation of this program is counted, so the peak is measured, not
// estimated.
#include <gtest/gtest.h>

#include "codec/zstd_util.hpp"
#include "codec_test_support.hpp"
#include "counting_allocator.hpp"
#include "format/format.hpp"

namespace kelvane::codec {
namespace {

using namespace test;

constexpr std::size_t kRecordBytes = 64u << 20;

// A "fast" container of `hello` whose zstd metadata section holds one
// record of an unknown kind with kRecordBytes of metadata.
Bytes hostile_container(std::uint64_t original_size) {
  Bytes chain = {1, 200};
  kvn::append_u32_le(chain, kRecordBytes);
  chain.resize(chain.size() + kRecordBytes, 0);
  Fields fields;
  fields.flags = kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD;
  fields.original_size = original_size;
  return container(fields, zstd_compress(chain, 3).value(),
                   zstd_compress(to_bytes("hello"), 3).value());
}

using counting_allocator::peak_of;

TEST(MetadataSectionMemory, LargeSectionIsHeldOnceAtItsInflatedSize) {
  const Bytes hostile = hostile_container(UINT64_MAX);
  bool failed = false;
  const std::size_t peak = peak_of([&] { failed = !decompress_from_slice(hostile).ok(); });
  EXPECT_TRUE(failed);  // the unknown record is skipped and the checks fail
  // The inflated chain is kRecordBytes + 6 bytes; a copy of its records, or
  // a doubling buffer's slack, would show as half as much again or more.
  EXPECT_GE(peak, kRecordBytes);
  EXPECT_LT(peak, kRecordBytes + kRecordBytes / 8);
}

TEST(MetadataSectionMemory, InflationStopsAtTheOriginalSizePlus64KiB) {
  // Three quarters of the chain's length: within twice that, not within
  // that plus 64 KiB.
  const Bytes hostile = hostile_container(kRecordBytes / 4 * 3);
  std::optional<kvn::CodecError> error;
  const std::size_t peak = peak_of([&] {
    auto result = decompress_from_slice(hostile);
    if (!result.ok()) error = result.error();
  });
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, std::string("failed to decompress transform metadata: ") +
                                ZSTD_getErrorString(ZSTD_error_dstSize_tooSmall));
  EXPECT_LT(peak, std::size_t{1} << 20);  // measured, never reserved
}

// A typed column stream of one String column coded as Enum: one entry of
// `entry_bytes` bytes, repeated `rows` times.
Bytes expanding_typed_stream(std::uint32_t entry_bytes, std::uint32_t rows) {
  Bytes stream;
  kvn::append_u16_le(stream, 1);  // columns
  kvn::append_u32_le(stream, 4);  // schema bytes
  kvn::append_u16_le(stream, 1);
  stream.push_back(9);  // String
  stream.push_back(0);
  Bytes body = {1};  // one entry
  kvn::append_u32_le(body, entry_bytes);
  body.insert(body.end(), entry_bytes, 'x');
  kvn::append_u32_le(body, rows);
  body.insert(body.end(), rows, 0);
  stream.push_back(5);  // Enum
  kvn::append_u32_le(stream, static_cast<std::uint32_t>(body.size()));
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

TEST(ForgedChainMemory, RepeatedFlatteningKindsDoNotMultiplyTheBudget) {
  // Eight NDJSON records before the typed stream: each would allow six
  // times the text after it, and the 11 KB stream expands to 10 MB.
  const Bytes stream = expanding_typed_stream(1000, 10000);
  const Bytes ndjson_metadata = {2};
  format::transform::TransformChainView chain;
  for (int i = 0; i < 8; ++i) {
    chain.records.push_back({static_cast<std::uint8_t>(format::transform::TransformKind::Ndjson),
                             ndjson_metadata});
  }
  chain.records.push_back(
      {static_cast<std::uint8_t>(format::transform::TransformKind::TypedEncoding), {}});
  Bytes restored;
  const std::size_t peak =
      peak_of([&] { restored = format::reverse_preprocess(stream, chain, 1000); });
  EXPECT_EQ(restored, stream);  // nothing could be undone
  EXPECT_LT(peak, std::size_t{256} << 10);
}

}  // namespace
}  // namespace kelvane::codec
