// Decoding hostile metadata costs memory in proportion to the sizes it
// declares, above all the original size S of the header: the reverse of a
// chain holds at most two texts at a time, each within its budget, and only
// a flattening record whose nested infos parse lets a text outgrow S. A
// zstd metadata section that inflates to a large chain is held
// once, at its inflated size: it is inflated into a buffer of its exact
// length, the chain's records borrow it, and the inflation stops at
// original_size + 64 KiB. A forged chain that repeats the flattening kinds
// gets no more room to expand than one flattening gives. Every C++
// allocation of this program is counted, so the peak is measured, not
// estimated.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "codec/cm_codec.hpp"
#include "codec/zstd_util.hpp"
#include "codec_test_support.hpp"
#include "counting_allocator.hpp"
#include "format/format.hpp"
#include "format/json_array/json_array.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "format/value_dict/value_dict.hpp"
#include "hostile_containers.hpp"

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
  const Bytes hostile = hostile_container(2 * kRecordBytes);
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

TEST(ForgedChainMemory, RepeatedFlatteningKindsDoNotMultiplyTheBudget) {
  // Eight NDJSON records before the typed stream: each would allow six
  // times the text after it, and the 11 KB stream expands to 10 MB.
  const Bytes stream = hostile::enum_stream(1000, 10000);
  const Bytes ndjson_metadata = {2};
  format::transform::TransformChainView chain;
  for (int i = 0; i < 8; ++i) {
    chain.records.push_back({static_cast<std::uint8_t>(format::transform::TransformKind::Ndjson),
                             ndjson_metadata});
  }
  chain.records.push_back(
      {static_cast<std::uint8_t>(format::transform::TransformKind::TypedEncoding), {}});
  std::optional<kvn::CodecError> error;
  const std::size_t peak = peak_of([&] {
    auto restored = format::reverse_preprocess(stream, chain, 1000);
    if (!restored.ok()) error = restored.error();
  });
  // The budget stays the declared size: the stream is longer than any
  // record could rebuild the original from.
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->message, "transformed text of " + std::to_string(stream.size()) +
                                " bytes exceeds the 1000 bytes its transforms can rebuild the "
                                "original from");
  EXPECT_LT(peak, std::size_t{256} << 10);
}

// A key-dictionary stream: `literal` with its zero bytes escaped, then
// `tokens` short tokens for key 0.
Bytes key_dict_stream(ByteSpan literal, std::size_t tokens) {
  Bytes stream;
  for (const std::uint8_t b : literal) {
    stream.push_back(b);
    if (b == 0x00) stream.push_back(0xFE);  // a literal zero
  }
  for (std::size_t i = 0; i < tokens; ++i) kvn::append_bytes(stream, Bytes{0x00, 0x00});
  return stream;
}

// The key dictionary's metadata for one key of 65,535 copies of `byte`.
// Each token then expands to that key between two quotes.
constexpr std::size_t kKeyBytes = 65535;
constexpr std::size_t kTokenBytes = kKeyBytes + 2;
Bytes one_long_key(std::uint8_t byte) {
  Bytes metadata = {1};
  kvn::append_u16_le(metadata, 1);
  kvn::append_u16_le(metadata, kKeyBytes);
  metadata.insert(metadata.end(), kKeyBytes, byte);
  return metadata;
}

// A "fast" container declaring `original_size`, whose zstd section holds
// `chain` and whose payload is `text`.
Bytes fast_container(const format::transform::TransformChain& chain, ByteSpan text,
                     std::uint64_t original_size) {
  Fields fields;
  fields.flags = kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD;
  fields.original_size = original_size;
  return container(fields, zstd_compress(chain.serialize(), 3).value(),
                   zstd_compress(text, 3).value());
}

format::transform::TransformRecord record(format::transform::TransformKind kind, Bytes metadata) {
  return {static_cast<std::uint8_t>(kind), std::move(metadata)};
}

// Decodes `hostile`, expects the CRC check to reject it, and gives the peak.
std::size_t peak_of_rejected(const Bytes& hostile) {
  std::optional<kvn::CodecError> error;
  const std::size_t peak = peak_of([&] {
    auto result = decompress_from_slice(hostile);
    if (!result.ok()) error = result.error();
  });
  EXPECT_TRUE(error.has_value());
  if (error) {
    EXPECT_EQ(error->message.rfind("CRC-32 mismatch: ", 0), 0u) << error->message;
  }
  return peak;
}

// The declared size of the hostile containers below, and what their decode
// may hold: four times it, and a fixed allowance for the small buffers.
constexpr std::uint64_t kDeclared = 16u << 20;
constexpr std::uint64_t kAllowance = 1u << 20;
// Tokens whose keys fill the declared size without passing it.
constexpr std::size_t kTokens = kDeclared / kTokenBytes;

TEST(HostileChainMemory, UnusableNdjsonRecordGrantsTheKeyDictionaryNoGrowth) {
  // An NDJSON record whose metadata does not parse, then a key dictionary
  // whose 70-byte stream expands to the declared size. The NDJSON record
  // must not let the key dictionary write more than S.
  format::transform::TransformChain chain;
  chain.records.push_back(record(format::transform::TransformKind::Ndjson, {2}));
  chain.records.push_back(record(format::transform::TransformKind::Json, one_long_key('k')));
  const Bytes hostile = fast_container(chain, key_dict_stream({}, kTokens), kDeclared);
  EXPECT_LT(hostile.size(), 200u);
  EXPECT_LT(peak_of_rejected(hostile), 4 * kDeclared + kAllowance);
}

TEST(HostileChainMemory, NullableColumnBetweenThemStaysWithinTheBudget) {
  // The same, with a typed column stream between them: the key dictionary
  // writes a stream whose one Nullable column has a bitmap of the declared
  // size, nearly all set bits, over Integer values the decoder fills in.
  const std::uint64_t bitmap = kTokens * kTokenBytes;
  Bytes typed;
  kvn::append_u16_le(typed, 1);  // columns
  kvn::append_u32_le(typed, 4);  // schema bytes
  kvn::append_u16_le(typed, 1);
  typed.push_back(9);
  typed.push_back(0);
  typed.push_back(3);  // Nullable
  kvn::append_u32_le(typed, static_cast<std::uint32_t>(9 + bitmap));
  typed.push_back(1);  // inner Integer, with no body: every value "0"
  kvn::append_u32_le(typed, static_cast<std::uint32_t>(8 * bitmap));
  kvn::append_u32_le(typed, static_cast<std::uint32_t>(bitmap));

  format::transform::TransformChain chain;
  chain.records.push_back(record(format::transform::TransformKind::Ndjson, {2}));
  chain.records.push_back(record(format::transform::TransformKind::TypedEncoding, {}));
  chain.records.push_back(record(format::transform::TransformKind::Json, one_long_key(0xFF)));
  const Bytes hostile = fast_container(chain, key_dict_stream(typed, kTokens), kDeclared);
  EXPECT_LT(hostile.size(), 200u);
  EXPECT_LT(peak_of_rejected(hostile), 4 * kDeclared + kAllowance);
}

// ---- What a writer without the flattening growth bound stores ----
//
// Objects keyed by ids bring a new key on every row: flattened anyway, 100
// such rows make a flat text about 21 times the input; 400 make one about
// 80 times it, past what the budgets grant (32 times).

std::string id_keyed_object(int i) {
  return "{\"id\":" + std::to_string(i) + ",\"m\":{\"k" + std::to_string(i) + "\":1}}";
}
Bytes id_keyed_lines(int rows) {
  std::string out;
  for (int i = 0; i < rows; ++i) out += id_keyed_object(i) + "\n";
  return to_bytes(out);
}
Bytes id_keyed_array(int rows) {
  std::string out = "[";
  for (int i = 0; i < rows; ++i) {
    if (i > 0) out += ',';
    out += id_keyed_object(i);
  }
  return to_bytes(out + "]");
}

struct Stored {
  format::transform::TransformChain chain;
  Bytes text;
};

// The columnar text flattened without the bound; it must come back exactly.
format::ndjson::FlattenedColumns flatten_every_column(ByteSpan text, std::uint32_t rows) {
  format::ndjson::FlattenOptions lifted;
  lifted.bound_growth = false;
  auto flat = format::ndjson::flatten_nested_columns(text, rows, lifted);
  if (!flat) {
    ADD_FAILURE() << "the id-keyed column did not flatten";
    return {};
  }
  const auto columns = static_cast<std::uint16_t>(
      std::count(flat->text.begin(), flat->text.end(), format::ndjson::COLUMN_SEPARATOR) + 1);
  EXPECT_EQ(format::ndjson::unflatten_nested_columns(flat->text, flat->infos, rows, columns,
                                                     UINT64_MAX),
            Bytes(text.begin(), text.end()));
  return std::move(*flat);
}

// [2]: the Uniform layout, its nesting step done without the bound.
Stored literal_ndjson(ByteSpan input) {
  auto layout = format::ndjson::preprocess(input);
  if (!layout || layout->metadata[0] != 1 || layout->metadata.back() != 0) {
    ADD_FAILURE() << "no Uniform layout without nesting";
    return {};
  }
  const std::uint32_t rows = kvn::load_u32_le(layout->metadata.data() + 1);
  auto flat = flatten_every_column(layout->text, rows);
  Bytes metadata(layout->metadata.begin(), layout->metadata.end() - 1);  // the nested block...
  kvn::append_bytes(metadata, format::ndjson::serialize_nested_info(flat.infos));  // ...filled
  Stored out;
  out.chain.records.push_back(record(format::transform::TransformKind::Ndjson, metadata));
  out.text = std::move(flat.text);
  return out;
}

// [7, 15]: the Uniform array layout, then the nested flattening without the bound.
Stored literal_array(ByteSpan input) {
  auto layout = format::json_array::preprocess(input);
  if (!layout || layout->metadata[0] != 1) {
    ADD_FAILURE() << "no Uniform array layout";
    return {};
  }
  const std::uint32_t rows = kvn::load_u32_le(layout->metadata.data() + 1);
  auto flat = flatten_every_column(layout->text, rows);
  Bytes metadata;
  kvn::append_u32_le(metadata, rows);
  kvn::append_u16_le(metadata, static_cast<std::uint16_t>(std::count(
                                   flat.text.begin(), flat.text.end(), 0x00) + 1));
  kvn::append_bytes(metadata, format::ndjson::serialize_nested_info(flat.infos));
  Stored out;
  out.chain.records.push_back(record(format::transform::TransformKind::JsonArray, layout->metadata));
  out.chain.records.push_back(record(format::transform::TransformKind::NestedFlatten, metadata));
  out.text = std::move(flat.text);
  return out;
}

// The typed column stream and the value dictionary after them, as the
// pipeline runs them; each must take the text.
void add_typed_stream(Stored& stored) {
  auto stream = format::typed_encoding::preprocess(stored.text);
  ASSERT_TRUE(stream.has_value());
  stored.chain.records.push_back(record(format::transform::TransformKind::TypedEncoding, {}));
  stored.text = std::move(*stream);
}
void add_value_dictionary(Stored& stored) {
  auto dict = format::value_dict::preprocess(stored.text);
  ASSERT_TRUE(dict.has_value());
  stored.chain.records.push_back(record(format::transform::TransformKind::ValueDict, dict->metadata));
  stored.text = std::move(dict->text);
}

struct LiteralCase {
  const char* name;
  bool array;
  bool typed;
  bool dictionary;
};
// (The value dictionary declines the typed streams of these inputs, whose
// many zero bytes cut them into more stretches than it could save on, so
// [2, 14, 13] and [7, 15, 14, 13] do not arise from them.)
constexpr LiteralCase kLiteralCases[] = {
    {"[2, 13]", false, false, true},
    {"[2, 14]", false, true, false},
    {"[7, 15, 13]", true, false, true},
    {"[7, 15, 14]", true, true, false},
};

Stored literal_chain(const LiteralCase& c, ByteSpan input) {
  Stored stored = c.array ? literal_array(input) : literal_ndjson(input);
  if (c.typed) add_typed_stream(stored);
  if (c.dictionary) add_value_dictionary(stored);
  return stored;
}

Bytes literal_container(const LiteralCase& c, int rows) {
  const Bytes input = c.array ? id_keyed_array(rows) : id_keyed_lines(rows);
  const Stored stored = literal_chain(c, input);
  Bytes out = fast_container(stored.chain, stored.text, input.size());
  kvn::Bytes crc;
  kvn::append_u32_le(crc, crc32(input));
  std::copy(crc.begin(), crc.end(), out.begin() + 24);
  return out;
}

TEST(LiteralWriter, FlatTextsWithinThirtyTwoTimesTheInputDecode) {
  for (const LiteralCase& c : kLiteralCases) {
    SCOPED_TRACE(c.name);
    const Bytes input = c.array ? id_keyed_array(100) : id_keyed_lines(100);
    auto restored = decompress_from_slice(literal_container(c, 100));
    ASSERT_TRUE(restored.ok()) << restored.error().message;
    EXPECT_EQ(*restored, input);
  }
}

TEST(LiteralWriter, FlatTextsBeyondThirtyTwoTimesFailWithinTheBudget) {
  for (const LiteralCase& c : kLiteralCases) {
    SCOPED_TRACE(c.name);
    const Bytes hostile = literal_container(c, 400);
    const std::uint64_t declared = kvn::load_u64_le(hostile.data() + 8);
    std::optional<kvn::CodecError> error;
    const std::size_t peak = peak_of([&] {
      auto result = decompress_from_slice(hostile);
      if (!result.ok()) error = result.error();
    });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, kvn::ErrorKind::InvalidData) << error->message;
    // At most two texts of the largest budget, and the small buffers.
    EXPECT_LT(peak, 2 * format::max_chain_budget(declared) + kAllowance) << error->message;
  }
}

// The same writer in "max": the length the CM stream declares is the flat
// text's, within the budget at 100 rows and beyond it at 400, where the
// reader refuses it before it builds an engine.
TEST(LiteralWriter, CmStreamLengthIsBoundedByTheSameBudget) {
  const LiteralCase c{"[2]", false, false, false};
  for (const int rows : {100, 400}) {
    const Bytes input = id_keyed_lines(rows);
    const Stored stored = literal_chain(c, input);
    Bytes payload;
    kvn::append_u32_le(payload, static_cast<std::uint32_t>(stored.text.size()));
    kvn::append_u32_le(payload, 0);
    if (rows == 100) {
      kvn::append_bytes(payload, cm_compress(stored.text, model::CM_CONFIG_MAX).value());
    } else {
      payload.resize(payload.size() + 1000, 0x55);  // never read: the length is refused first
    }
    Fields fields;
    fields.mode = 0;
    fields.flags = kvn::FLAG_HAS_METADATA;
    fields.original_size = input.size();
    fields.crc = crc32(input);
    auto result = decompress_from_slice(container(fields, stored.chain.serialize(), payload));
    if (rows == 100) {
      ASSERT_TRUE(result.ok()) << result.error().message;
      EXPECT_EQ(*result, input);
    } else {
      ASSERT_FALSE(result.ok());
      const std::uint64_t bound =
          format::reverse_budgets(stored.chain.view(), input.size()).stream;
      EXPECT_EQ(bound, 32 * input.size());
      EXPECT_EQ(result.error().message,
                "CM stream length " + std::to_string(stored.text.size()) + " exceeds the " +
                    std::to_string(bound) + " bytes its transforms can rebuild the original from");
    }
  }
}

}  // namespace
}  // namespace kelvane::codec
