// Crafted containers cost no more per declared byte than a bounded
// multiple of an honest one. Each row decodes one shape of
// hostile_containers.hpp at a small declared size S and checks its error
// and two bounds, with every C++ allocation counted:
//   - all it allocates, which bounds all it writes: the chain's work limit
//     (kChainWorkPerBudget x its stream budget G), beside the decoded
//     payload, the metadata and what reading them takes (4 x S);
//   - its peak: two texts of the stream budget and 4 x S.
// Before the limit, the long chains wrote each record's text again, some
// 250 times G; before the metadata was read in place, the nested keys,
// separators and line slots made the reader build 6 to 19 times their
// bytes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "codec/codec.hpp"
#include "counting_allocator.hpp"
#include "format/format.hpp"
#include "hostile_containers.hpp"

namespace kelvane::hostile {
namespace {

using counting_allocator::usage_of;

constexpr std::uint64_t kAllowance = 1u << 20;  // the small buffers and the zstd decoders

std::string work_limit(std::uint64_t stream) {
  return "transform chain exceeds its work limit: undoing it would write more than " +
         std::to_string(format::kChainWorkPerBudget * stream) + " bytes (" +
         std::to_string(format::kChainWorkPerBudget) + " x the " + std::to_string(stream) +
         " bytes of text it can rebuild the original from)";
}

struct Row {
  const char* name;
  Bytes (*build)(std::uint64_t s);
  std::uint64_t s;
  bool grant;           // a record grants the chain its whole growth: G = 32 x S
  std::string message;  // the error, or its start when the rest is a computed CRC
};

std::vector<Row> rows() {
  constexpr std::uint64_t kChainS = 256u << 10;
  constexpr std::uint64_t kMetadataS = 4u << 20;  // large enough that 6 x S outweighs the allowance
  const std::string crc = "CRC-32 mismatch: expected 0x00000000, got ";
  return {
      {"253 kind-15 records after a grant", kind15_chain_with_growth, kChainS, true,
       work_limit(32 * kChainS)},
      {"kind-15 rewrites of one-byte values", kind15_chain_over_tiny_values, kChainS, true,
       work_limit(32 * kChainS)},
      {"value-dictionary rewrites of one-byte values", value_dict_chain_over_tiny_values, kChainS,
       true, work_limit(32 * kChainS)},
      {"NDJSON rewrites of one-byte rows", ndjson_chain_over_tiny_rows, kChainS, true,
       work_limit(32 * kChainS)},
      {"253 kind-15 records, no grant", kind15_chain_without_growth, kChainS, false,
       work_limit(kChainS)},
      {"253 value-dictionary records", value_dict_chain, kChainS, false, work_limit(kChainS)},
      {"253 key-dictionary records", key_dict_chain, kChainS, false, work_limit(kChainS)},
      {"a grant over a typed text of 32 x S", grant_over_a_grown_text, kChainS, true, crc},
      {"grant, typed stream, dictionary: metadata section", grown_stream_with_section, kChainS,
       true, crc},
      {"grant, typed stream, dictionary: embedded", grown_stream_embedded, kChainS, true, crc},
      {"one-byte nested keys, embedded", array_group_of_one_byte_keys, kMetadataS, false, crc},
      {"empty array separators, embedded", array_of_empty_separators, kMetadataS, false,
       "size mismatch: header says " + std::to_string(kMetadataS) + " bytes, got 0"},
      {"NDJSON line slots, embedded", ndjson_of_residual_lines, kMetadataS, false, crc},
  };
}

TEST(HostileChains, FailWithinTheWorkLimitAndThePeak) {
  for (const Row& row : rows()) {
    SCOPED_TRACE(row.name);
    const Bytes container = row.build(row.s);
    std::optional<kvn::CodecError> error;
    const auto usage = usage_of([&] {
      auto result = codec::decompress_from_slice(container);
      if (!result.ok()) error = result.error();
    });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind, kvn::ErrorKind::InvalidData);
    EXPECT_EQ(error->message.rfind(row.message, 0), 0u) << error->message;
    const std::uint64_t stream = row.grant ? 32 * row.s : row.s;
    EXPECT_LT(usage.allocated, format::kChainWorkPerBudget * stream + 4 * row.s + kAllowance);
    EXPECT_LT(usage.peak, 2 * stream + 4 * row.s + kAllowance);
  }
}

TEST(HostileChains, AnEmbeddedChainIsCappedLikeAMetadataSection) {
  constexpr std::uint64_t kS = 1u << 20;
  TransformChain chain;
  add(chain, static_cast<TransformKind>(200), Bytes(kS + 65536, 0));  // an unknown kind
  auto result = codec::decompress_from_slice(fast_embedded(chain, Bytes{'x'}, kS));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message, "embedded metadata: meta_len " + std::to_string(kS + 65536 + 6) +
                                        " exceeds the " + std::to_string(kS + 65536) +
                                        " bytes a transform chain may hold");
}

}  // namespace
}  // namespace kelvane::hostile
