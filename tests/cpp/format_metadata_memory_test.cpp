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
#include "format/json_array/json_array.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "format/value_dict/value_dict.hpp"
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
void put_indices(Bytes& out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) put_u32(out, i);
}

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
    return format::reverse_preprocess(std::move(text), chain, 1).value();
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

Bytes json_array_reverse(Bytes text, const Bytes& metadata) {
  return format::json_array::reverse(text, metadata, text.size());
}

// A Uniform JSON array of empty elements (one empty piece each side of one
// empty value), each separator stored: 2 bytes of metadata an element.
Case json_array_separators() {
  const std::size_t n = kMetadataBytes / 2;
  Bytes metadata = {1};
  put_u32(metadata, n);
  put_u16(metadata, 1);    // columns
  put_zeros(metadata, 8);  // no prefix, no suffix
  put_u16(metadata, 2);    // two empty pieces
  put_zeros(metadata, 4);
  metadata.push_back(0);  // every separator stored
  put_zeros(metadata, 2 * (n - 1));
  return {"separators of a Uniform JSON array", metadata, Bytes(n - 1, 0x01), json_array_reverse,
          {}, 2};
}

// The head of a Grouped JSON array's metadata: no prefix, suffix or
// default separator, then the separator mode.
Bytes grouped_array_head(std::uint8_t mode) {
  Bytes metadata = {2};
  put_zeros(metadata, 4 + 4 + 2);
  metadata.push_back(mode);
  return metadata;
}

// Two residual elements and two million stored separators.
Case grouped_array_separators() {
  const std::size_t separators = kMetadataBytes / 2;
  Bytes metadata = grouped_array_head(0);
  put_u32(metadata, separators);
  put_zeros(metadata, 2 * separators);
  put_u16(metadata, 0);  // groups
  put_u32(metadata, 2);  // residual elements
  put_indices(metadata, 2);
  put_u32(metadata, 3);
  return {"separators of a Grouped JSON array", metadata, {'a', 0, 'b'}, json_array_reverse,
          {'a', 'b'}, 2};
}

// Empty residual elements, 4 bytes of metadata (an index) each; in the
// order of their indices, or the other way round (which the reverse sorts).
// The reverse keeps 16 bytes an element: a key to order it by and its
// place in the output.
Case grouped_array_residuals(bool reversed) {
  const std::size_t elements = kMetadataBytes / 4;
  Bytes metadata = grouped_array_head(1);
  put_u16(metadata, 0);  // groups
  put_u32(metadata, elements);
  for (std::size_t i = 0; i < elements; ++i) put_u32(metadata, reversed ? elements - 1 - i : i);
  put_u32(metadata, elements - 1);
  return {reversed ? "residual elements of a Grouped JSON array, last index first"
                   : "residual elements of a Grouped JSON array",
          metadata, Bytes(elements - 1, 0x00), json_array_reverse, {}, 4};
}

// A group of `members` empty elements in `columns` columns, their indices
// from `first_index` on.
void put_group(Bytes& metadata, Bytes& text, std::size_t members, std::size_t columns,
               std::size_t first_index) {
  put_u32(metadata, members);
  for (std::size_t i = 0; i < members; ++i) put_u32(metadata, first_index + i);
  put_u32(metadata, 9 + 2 * (columns + 1));
  metadata.push_back(1);
  put_u32(metadata, members);
  put_u16(metadata, columns);
  put_u16(metadata, columns + 1);
  put_zeros(metadata, 2 * (columns + 1));  // empty pieces
  metadata.push_back(0);                   // not nested
  put_u32(text, (members - 1) * columns + (columns - 1));
  for (std::size_t c = 0; c < columns; ++c) {
    if (c > 0) text.push_back(0x00);
    text.insert(text.end(), members - 1, 0x01);
  }
}

Bytes grouped_array_tail(Bytes metadata) {
  put_u32(metadata, 0);  // residual elements
  put_u32(metadata, 0);
  return metadata;
}

// One group of empty members, 4 bytes of metadata (an index) each, and
// 16 bytes of the reverse's.
Case grouped_array_members() {
  const std::size_t members = kMetadataBytes / 4;
  Bytes metadata = grouped_array_head(1);
  Bytes text;
  put_u16(metadata, 1);
  put_group(metadata, text, members, 1, 0);
  return {"group members of a Grouped JSON array", grouped_array_tail(metadata), text,
          json_array_reverse, {}, 4};
}

// Groups of one element of 65,534 empty columns: 2 bytes of metadata (an
// empty piece) a column.
Case grouped_array_pieces() {
  constexpr std::size_t kGroups = 32;
  Bytes metadata = grouped_array_head(1);
  Bytes text;
  put_u16(metadata, kGroups);
  for (std::size_t g = 0; g < kGroups; ++g) put_group(metadata, text, 1, 65534, g);
  return {"group pieces of a Grouped JSON array", grouped_array_tail(metadata), text,
          json_array_reverse, {}, 2};
}

// Empty residual lines of a Grouped NDJSON layout, 4 bytes of metadata (an
// index) each.
Case ndjson_grouped_lines() {
  const std::size_t lines = kMetadataBytes / 4;
  Bytes metadata = {2, 1};
  put_u32(metadata, lines);
  put_u16(metadata, 0);  // groups
  put_u32(metadata, lines);
  put_indices(metadata, lines);
  auto reverse = [](Bytes text, const Bytes& m) {
    return format::ndjson::reverse(text, m, text.size() + 1);
  };
  return {"line slots of a Grouped NDJSON layout", metadata, Bytes(lines - 1, '\n'), reverse,
          Bytes(lines, '\n'), 2};
}

// Columns of 253 empty dictionary entries, 4 bytes (a length) each, and
// one value each: the code of the first entry.
Case value_dictionary() {
  constexpr std::size_t kEntries = 253;
  const std::size_t columns = kMetadataBytes / (1 + 4 * kEntries);
  Bytes metadata = {1};
  put_u16(metadata, columns);
  for (std::size_t c = 0; c < columns; ++c) {
    metadata.push_back(kEntries);
    put_zeros(metadata, 4 * kEntries);
  }
  auto reverse = [](Bytes text, const Bytes& m) {
    return format::value_dict::reverse(text, m, text.size());
  };
  Bytes text;
  for (std::size_t c = 0; c < columns; ++c) {
    if (c > 0) text.push_back(0x00);
    text.push_back(2);
  }
  return {"entries of the value dictionary", metadata, text, reverse, Bytes(columns - 1, 0x00), 2};
}

// The nested rows give their text back because its columns do not fit the
// infos; the infos themselves must read.
TEST(MetadataMemory, CraftedNestedInfosRead) {
  const Bytes stored = empty_nested_infos();
  const auto read = format::ndjson::deserialize_nested_info(stored);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->bytes_used, stored.size());
  ASSERT_EQ(read->infos.size(), 16u);
  EXPECT_EQ(read->infos[15].key_count(), 65535u);
  EXPECT_EQ(read->infos[15].piece_count(), 65535u);
  EXPECT_TRUE(read->infos[15].piece(65534).empty());
}

TEST(MetadataMemory, ReverseHoldsASmallMultipleOfTheStoredBytes) {
  const Case cases[] = {nested_flatten_record(),
                        ndjson_nested_block(),
                        json_array_separators(),
                        grouped_array_separators(),
                        grouped_array_residuals(false),
                        grouped_array_residuals(true),
                        grouped_array_members(),
                        grouped_array_pieces(),
                        ndjson_grouped_lines(),
                        value_dictionary()};
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
