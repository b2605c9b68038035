// The reverse transforms read metadata from an untrusted container, up to
// the declared size long. What they build from it must stay a small
// multiple of the stored bytes, however small its entries: each case below
// is about 4 MiB of the smallest entries a reader accepts (empty keys,
// pieces, separators and dictionary entries, one index per line or
// element), reversed over the smallest text that fits it. Every C++
// allocation of this program is counted, so the peak is measured, not
// estimated.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "counting_allocator.hpp"
#include "format/format.hpp"
#include "format/ndjson/ndjson.hpp"
#include "kvn/bytes.hpp"

namespace {

using namespace kelvane;
using counting_allocator::peak_of;
using kvn::Bytes;

constexpr std::size_t kMetadataBytes = 4u << 20;
// The small buffers a reverse keeps whatever the metadata holds (the
// column cursors of one group, a dictionary's table, the budgets).
constexpr std::size_t kAllowance = 2u << 20;

void put_u16(Bytes& out, std::size_t v) { kvn::append_u16_le(out, static_cast<std::uint16_t>(v)); }
void put_u32(Bytes& out, std::size_t v) { kvn::append_u32_le(out, static_cast<std::uint32_t>(v)); }
void put_zeros(Bytes& out, std::size_t n) { out.insert(out.end(), n, 0); }

// A nested info list at the template level: 16 infos of 65,535 empty keys
// and 65,535 empty pieces, 2 bytes each.
Bytes empty_nested_infos() {
  constexpr std::size_t kInfos = 16;
  Bytes out = {2, kInfos};
  for (std::size_t i = 0; i < kInfos; ++i) {
    put_u16(out, i);
    for (int list = 0; list < 2; ++list) {
      put_u16(out, 65535);
      put_zeros(out, 2 * 65535);
    }
  }
  return out;
}

struct Case {
  const char* name;
  Bytes metadata;
  Bytes text;
  // The reverse under test, and what it gives back.
  std::function<Bytes(Bytes text, const Bytes& metadata)> reverse;
  Bytes expected;
  std::size_t bytes_per_stored_byte;  // what the reverse may hold per metadata byte
};

// Kind 15 through the chain's reverse: the budgets and the unflattening
// each read the infos. Their sub-columns are not in the text, which comes
// back as it was.
Case nested_flatten_record() {
  Bytes metadata;
  put_u32(metadata, 1);  // rows
  put_u16(metadata, 1);  // columns
  kvn::append_bytes(metadata, empty_nested_infos());
  auto reverse = [](Bytes text, const Bytes& m) {
    format::transform::TransformChainView chain;
    chain.records.push_back(
        {static_cast<std::uint8_t>(format::transform::TransformKind::NestedFlatten), m});
    return format::reverse_preprocess(std::move(text), chain, 1);
  };
  return {"nested infos of a kind-15 record", metadata, {'x'}, reverse, {'x'}, 2};
}

// The same infos as the nested block of an NDJSON Uniform layout of one
// column, one row.
Case ndjson_nested_block() {
  Bytes metadata = {1};
  put_u32(metadata, 1);  // rows
  put_u16(metadata, 1);  // columns
  metadata.push_back(0);
  put_u16(metadata, 2);  // two empty pieces
  put_zeros(metadata, 4);
  kvn::append_bytes(metadata, empty_nested_infos());
  auto reverse = [](Bytes text, const Bytes& m) {
    return format::ndjson::reverse(text, m, text.size());
  };
  return {"nested block of an NDJSON Uniform layout", metadata, {'x'}, reverse, {'x'}, 2};
}

TEST(MetadataMemory, ReverseHoldsASmallMultipleOfTheStoredBytes) {
  const Case cases[] = {nested_flatten_record(), ndjson_nested_block()};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    ASSERT_GE(c.metadata.size(), kMetadataBytes - (64u << 10));
    Bytes text = c.text;
    Bytes out;
    const std::size_t peak = peak_of([&] { out = c.reverse(std::move(text), c.metadata); });
    EXPECT_EQ(out, c.expected);
    const std::size_t limit = c.bytes_per_stored_byte * c.metadata.size() + out.size() + kAllowance;
    EXPECT_LT(peak, limit) << "peak " << peak << " for " << c.metadata.size()
                           << " bytes of metadata";
    RecordProperty("peak" + std::to_string(i), std::string(c.name) + ": " + std::to_string(peak) +
                                                   " for " + std::to_string(c.metadata.size()));
  }
}

}  // namespace
