// Helpers shared by the typed column stream's tests: columnar texts, streams
// assembled by hand, and column bodies decoded into a list of values.
#pragma once

#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <string_view>
#include <vector>

#include "columnar_text.hpp"
#include "format/typed_encoding/column_codecs.hpp"
#include "kvn/bytes.hpp"

namespace typed_test {

using kelvane::kvn::Bytes;
using kelvane::kvn::ByteSpan;
namespace te = kelvane::format::typed_encoding;

inline Bytes B(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string S(ByteSpan s) { return std::string(s.begin(), s.end()); }
inline ByteSpan span_of(std::string_view s) {
  return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

using test_support::columnar;

inline std::vector<ByteSpan> spans_of(const std::vector<std::string>& values) {
  std::vector<ByteSpan> out;
  for (const auto& v : values) out.push_back(span_of(v));
  return out;
}

// Bytes split at every 0x01: k separators give k + 1 values.
inline std::vector<std::string> split_values(ByteSpan bytes) {
  std::vector<std::string> values(1);
  for (const std::uint8_t b : bytes) {
    if (b == 0x01) {
      values.emplace_back();
    } else {
      values.back().push_back(static_cast<char>(b));
    }
  }
  return values;
}

// The values a decoder gives for `body`, none of which may hold 0x01.
template <class Decoder>
std::vector<std::string> decoded(Decoder decode, const Bytes& body) {
  constexpr std::uint64_t kNoLimit = ~std::uint64_t{0};
  Bytes text;
  te::TextOutput out(text, kNoLimit, 0);
  te::ValueSink sink(out);
  decode(ByteSpan(body), sink);
  if (sink.count() == 0) return {};
  std::vector<std::string> values = split_values(text);
  EXPECT_EQ(values.size(), sink.count()) << "a value holds the byte 0x01";
  return values;
}

inline std::vector<std::string> decoded_as(std::uint8_t tag, const Bytes& body) {
  return decoded([tag](ByteSpan b, te::ValueSink& sink) { te::decode_column(tag, b, sink); }, body);
}

// A body read as Raw.
inline std::vector<std::string> raw_values(const Bytes& body) { return split_values(body); }

// Bodies written by hand: `a << b` appends b to a, for named and for
// temporary buffers alike.
inline Bytes& operator<<(Bytes& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
  return out;
}
inline Bytes operator<<(Bytes&& out, const Bytes& more) {
  out.insert(out.end(), more.begin(), more.end());
  return std::move(out);
}
inline Bytes u16(std::uint16_t v) { return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)}; }
inline Bytes u32(std::uint32_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
}
inline Bytes u64(std::uint64_t v) {
  Bytes out = u32(static_cast<std::uint32_t>(v));
  return out << u32(static_cast<std::uint32_t>(v >> 32));
}

// The (tag, inner tag or 0) of every record of a stream.
inline std::vector<std::pair<std::uint8_t, std::uint8_t>> tags_of(const Bytes& stream) {
  kelvane::kvn::ByteReader in(stream);
  std::uint16_t n = 0;
  std::uint32_t schema_length = 0;
  EXPECT_TRUE(in.read_u16(n) && in.read_u32(schema_length) && in.skip(schema_length));
  std::vector<std::pair<std::uint8_t, std::uint8_t>> tags;
  for (std::uint16_t c = 0; c < n; ++c) {
    std::uint8_t tag = 0;
    std::uint32_t length = 0;
    ByteSpan body;
    EXPECT_TRUE(in.read_u8(tag) && in.read_u32(length) && in.read_bytes(length, body));
    tags.emplace_back(tag, tag == static_cast<std::uint8_t>(te::ColumnEncoding::Nullable) && !body.empty() ? body[0] : 0);
  }
  return tags;
}

struct Record {
  std::uint8_t tag;
  Bytes body;
};

// A stream of `records` whose schema states one String entry per column.
inline Bytes stream_of(const std::vector<Record>& records) {
  Bytes schema = u16(static_cast<std::uint16_t>(records.size()));
  for (std::size_t i = 0; i < records.size(); ++i) schema << Bytes{9, 0};
  Bytes out = u16(static_cast<std::uint16_t>(records.size()));
  out << u32(static_cast<std::uint32_t>(schema.size())) << schema;
  for (const Record& r : records) {
    out.push_back(r.tag);
    out << u32(static_cast<std::uint32_t>(r.body.size())) << r.body;
  }
  return out;
}

}  // namespace typed_test
