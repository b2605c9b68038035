// Crafted containers that try to make a decompress cost far more than the
// original size S they declare: long chains of records that each rewrite
// the whole text, embedded metadata whose length or chain does not fit the
// stream, and metadata full of the smallest entries each reverse reads.
// None of them is something a writer stores; each must fail with a clear
// error, within the time and memory the README states per declared byte.
// The tests build them at a small S, the bench at the README's sizes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codec/cm_codec.hpp"
#include "codec/zstd_util.hpp"
#include "format/transform.hpp"
#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace kelvane::hostile {

using kvn::Bytes;
using kvn::ByteSpan;
using format::transform::TransformChain;
using format::transform::TransformKind;

// The longest chain the one-byte record count allows, less the records a
// shape needs around the repeated ones.
inline constexpr std::size_t kLongChain = 253;

inline void add(TransformChain& chain, TransformKind kind, Bytes metadata) {
  chain.records.push_back({static_cast<std::uint8_t>(kind), std::move(metadata)});
}

inline Bytes zstd_of(ByteSpan bytes) { return codec::zstd_compress(bytes, 3).value(); }

// The 32-byte header and what follows it; the CRC is left 0, so that a
// decode that gets through every limit still fails.
inline Bytes container(std::uint8_t mode, std::uint8_t flags, std::uint64_t original_size,
                       ByteSpan section, ByteSpan payload) {
  Bytes out;
  kvn::append_u32_le(out, kvn::KVN_MAGIC);
  kvn::append_u8(out, kvn::KVN_VERSION);
  kvn::append_u8(out, mode);
  kvn::append_u8(out, 0);
  kvn::append_u8(out, flags);
  kvn::append_u64_le(out, original_size);
  kvn::append_u64_le(out, payload.size());
  kvn::append_u32_le(out, 0);
  kvn::append_u32_le(out, static_cast<std::uint32_t>(section.size()));
  kvn::append_bytes(out, section);
  kvn::append_bytes(out, payload);
  return out;
}

inline constexpr std::uint8_t kFast = static_cast<std::uint8_t>(kvn::CompressionMode::Fast);

// A "fast" container: the chain in a zstd metadata section, the text as
// one zstd frame.
inline Bytes fast_with_section(const TransformChain& chain, ByteSpan text, std::uint64_t s) {
  return container(kFast, kvn::FLAG_HAS_METADATA | kvn::FLAG_METADATA_ZSTD, s,
                   zstd_of(chain.serialize()), zstd_of(text));
}

// The EmbeddedMetadataBlock of `chain` and `text`.
inline Bytes embedded_block(const TransformChain& chain, ByteSpan text) {
  const Bytes metadata = chain.serialize();
  Bytes block;
  kvn::append_u32_le(block, static_cast<std::uint32_t>(metadata.size()));
  kvn::append_bytes(block, metadata);
  kvn::append_bytes(block, text);
  return block;
}

// A "fast" container whose zstd payload is that block.
inline Bytes fast_embedded(const TransformChain& chain, ByteSpan text, std::uint64_t s) {
  return container(kFast, kvn::FLAG_EMBEDDED_METADATA, s, {}, zstd_of(embedded_block(chain, text)));
}

// ---- nested infos ----

// A serialized nested-info list of one info at `column`: its keys, and
// with `pieces` a template of those pieces (level 2); keys only otherwise.
inline Bytes nested_info(std::uint16_t column, const std::vector<Bytes>& keys,
                         const std::vector<Bytes>* pieces = nullptr) {
  Bytes out = {static_cast<std::uint8_t>(pieces ? 2 : 1), 1};
  kvn::append_u16_le(out, column);
  kvn::append_u16_le(out, static_cast<std::uint16_t>(keys.size()));
  for (const Bytes& key : keys) {
    kvn::append_u16_le(out, static_cast<std::uint16_t>(key.size()));
    kvn::append_bytes(out, key);
  }
  if (pieces) {
    kvn::append_u16_le(out, static_cast<std::uint16_t>(pieces->size()));
    for (const Bytes& piece : *pieces) {
      kvn::append_u16_le(out, static_cast<std::uint16_t>(piece.size()));
      kvn::append_bytes(out, piece);
    }
  }
  return out;
}

// Kind-15 metadata: rows, columns, then the nested info.
inline Bytes nested_flatten(std::uint32_t rows, std::uint16_t columns, ByteSpan info) {
  Bytes out;
  kvn::append_u32_le(out, rows);
  kvn::append_u16_le(out, columns);
  kvn::append_bytes(out, info);
  return out;
}

// A kind-15 record that declares the most cells it can: the whole growth a
// chain may be granted, on records it comes before.
inline Bytes growth_grant() {
  return nested_flatten(UINT32_MAX, 1, nested_info(0, {Bytes{}, Bytes{}}));
}

// A kind-15 record over one column of `rows` values whose template puts
// `suffix` after each value: every step writes the text again, one byte per
// value longer, for as long as it fits.
inline Bytes one_column_rewrite(std::uint32_t rows, Bytes suffix) {
  const std::vector<Bytes> pieces = {Bytes{}, std::move(suffix)};
  return nested_flatten(rows, 1, nested_info(0, {Bytes{'a'}}, &pieces));
}

// The text those records read: `rows` empty values.
inline Bytes empty_values(std::uint32_t rows) { return Bytes(rows - 1, 0x01); }

// ---- the shapes ----

inline constexpr std::uint64_t kMB = 1000000;

// 253 kind-15 records: the first grants the chain its whole growth, every
// other rewrites a text of one-byte values, one byte longer each time.
inline Bytes kind15_chain_with_growth(std::uint64_t s) {
  const auto rows = static_cast<std::uint32_t>(s);
  TransformChain chain;
  add(chain, TransformKind::NestedFlatten, growth_grant());
  for (std::size_t i = 1; i < kLongChain; ++i) {
    add(chain, TransformKind::NestedFlatten, one_column_rewrite(rows, {'x'}));
  }
  return fast_with_section(chain, empty_values(rows), s);
}

// Value-dictionary metadata of one column whose one entry is `entry`.
inline Bytes one_entry_dictionary(ByteSpan entry) {
  Bytes out = {1};
  kvn::append_u16_le(out, 1);
  out.push_back(1);
  kvn::append_u32_le(out, static_cast<std::uint32_t>(entry.size()));
  kvn::append_bytes(out, entry);
  return out;
}

// 253 value-dictionary records whose one entry holds two codes: each
// record doubles the text until it passes S, then copies it.
inline Bytes value_dict_chain(std::uint64_t s) {
  TransformChain chain;
  const Bytes two_codes = {0x02, 0x01, 0x02};
  for (std::size_t i = 0; i < kLongChain; ++i) {
    add(chain, TransformKind::ValueDict, one_entry_dictionary(two_codes));
  }
  return fast_with_section(chain, Bytes{0x02}, s);
}

// Key-dictionary metadata of one key.
inline Bytes one_key(ByteSpan key) {
  Bytes out = {1};
  kvn::append_u16_le(out, 1);
  kvn::append_u16_le(out, static_cast<std::uint16_t>(key.size()));
  kvn::append_bytes(out, key);
  return out;
}

// 253 key-dictionary records whose one key holds two tokens of itself.
inline Bytes key_dict_chain(std::uint64_t s) {
  TransformChain chain;
  const Bytes two_tokens = {0x00, 0x00, 0x00, 0x00};
  for (std::size_t i = 0; i < kLongChain; ++i) add(chain, TransformKind::Json, one_key(two_tokens));
  return fast_with_section(chain, Bytes{0x00, 0x00}, s);
}

// 253 kind-15 records that grant nothing (their one info has no keys) and
// each count a column of "null"s past S before they give the text back.
inline Bytes kind15_chain_without_growth(std::uint64_t s) {
  const auto rows = static_cast<std::uint32_t>(s / 4);
  TransformChain chain;
  for (std::size_t i = 0; i < kLongChain; ++i) {
    add(chain, TransformKind::NestedFlatten, nested_flatten(rows, 1, nested_info(1, {})));
  }
  return fast_with_section(chain, empty_values(rows), s);
}

// `count` codes 2 with 0x01 between them: a value-dictionary text.
inline Bytes codes(std::uint64_t count) {
  Bytes text;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (i > 0) text.push_back(0x01);
    text.push_back(0x02);
  }
  return text;
}

// The growth chains over the slowest texts: a grant, 251 records that each
// rewrite the text, and a value dictionary whose one entry is 65,535 bytes
// of `fill`, which turns a few codes into a text of about `grown` bytes.
// `record` gives the repeated record's kind and metadata for a text of
// that many values (when `fill` is 0x01).
inline Bytes rewrites_after_a_grant(std::uint64_t s, std::uint64_t grown, std::uint8_t fill,
                                    std::pair<TransformKind, Bytes> (*record)(std::uint32_t rows)) {
  const auto count = static_cast<std::uint32_t>(grown / 65536);
  const auto [kind, metadata] = record(count * 65536);  // count x 65,535 + count - 1 separators
  Bytes entry(65535, fill);
  if (fill != 0x01) {
    for (std::size_t i = 1; i < entry.size(); i += 2) entry[i] = 0x01;
  }
  TransformChain chain;
  add(chain, TransformKind::NestedFlatten, growth_grant());
  for (std::size_t i = 2; i < kLongChain; ++i) add(chain, kind, metadata);
  add(chain, TransformKind::ValueDict, one_entry_dictionary(entry));
  return fast_with_section(chain, codes(count), s);
}

// kind-15 records that give a text of empty values back as it is, one
// value at a time.
inline Bytes kind15_chain_over_tiny_values(std::uint64_t s) {
  return rewrites_after_a_grant(s, 32 * s, 0x01, [](std::uint32_t rows) {
    return std::pair(TransformKind::NestedFlatten, one_column_rewrite(rows, {}));
  });
}

// Value-dictionary records that give every code back as itself: two bytes
// a value (the entry alternates codes and separators).
inline Bytes value_dict_chain_over_tiny_values(std::uint64_t s) {
  return rewrites_after_a_grant(s, 32 * s, 0x02, [](std::uint32_t) {
    return std::pair(TransformKind::ValueDict, one_entry_dictionary(Bytes{0x02}));
  });
}

// NDJSON Uniform records whose last piece is a value separator: each line
// is its value, 0x01 and LF, which the next record reads as a value again,
// a byte longer.
inline Bytes ndjson_chain_over_tiny_rows(std::uint64_t s) {
  return rewrites_after_a_grant(s, 16 * s, 0x01, [](std::uint32_t rows) {
    Bytes uniform = {1};
    kvn::append_u32_le(uniform, rows);
    kvn::append_u16_le(uniform, 1);
    uniform.push_back(0);  // no LF after the last line
    kvn::append_u16_le(uniform, 2);
    kvn::append_u16_le(uniform, 0);
    kvn::append_u16_le(uniform, 1);
    uniform.push_back(0x01);
    return std::pair(TransformKind::Ndjson, uniform);
  });
}

// ---- a grant, and texts of the whole grown budget ----

// A typed column stream of one String column coded as Enum, whose one
// entry of `entry_bytes` bytes stands for each of `rows` values.
inline Bytes enum_stream(std::uint32_t entry_bytes, std::uint32_t rows) {
  Bytes stream;
  kvn::append_u16_le(stream, 1);  // columns
  kvn::append_u32_le(stream, 4);  // schema bytes
  kvn::append_u16_le(stream, 1);
  stream.push_back(9);  // String
  stream.push_back(0);
  stream.push_back(5);  // Enum
  kvn::append_u32_le(stream, 1 + 4 + entry_bytes + 4 + rows);
  stream.push_back(1);
  kvn::append_u32_le(stream, entry_bytes);
  stream.insert(stream.end(), entry_bytes, 'x');
  kvn::append_u32_le(stream, rows);
  stream.insert(stream.end(), rows, 0);
  return stream;
}

// A grant, then a typed stream that fills the grown budget: the kind-15
// record is given a text of 32 x S it cannot undo.
inline Bytes grant_over_a_grown_text(std::uint64_t s) {
  TransformChain chain;
  add(chain, TransformKind::NestedFlatten, growth_grant());
  add(chain, TransformKind::TypedEncoding, {});
  return fast_with_section(chain, enum_stream(1000, static_cast<std::uint32_t>(32 * s / 1001)), s);
}

// The most metadata an embedded chain may hold: S and 64 KiB, less room
// for the framing of the records around the one that fills it.
inline std::uint64_t metadata_room(std::uint64_t s) { return s + 65536 - 4096; }

// A nested-info list of as many one-byte keys as `bytes` hold, in infos
// of 65,535 keys.
inline Bytes one_byte_keys(std::uint64_t bytes) {
  const std::uint64_t keys = bytes / 3;
  const std::size_t infos = static_cast<std::size_t>(std::min<std::uint64_t>(255, keys / 65535 + 1));
  Bytes info = {1, static_cast<std::uint8_t>(infos)};
  std::uint64_t left = keys;
  for (std::size_t i = 0; i < infos; ++i) {
    const auto count = static_cast<std::uint16_t>(std::min<std::uint64_t>(left, 65535));
    left -= count;
    kvn::append_u16_le(info, static_cast<std::uint16_t>(i));
    kvn::append_u16_le(info, count);
    for (std::uint16_t k = 0; k < count; ++k) kvn::append_bytes(info, Bytes{1, 0, 'k'});
  }
  return info;
}

// A grant, a typed stream and a value dictionary: the dictionary writes a
// typed stream of the grown budget from a few codes, the stream decodes to
// a text as long, and the kind-15 record cannot undo that. The grant's
// nested info fills the rest of the metadata with one-byte keys.
inline TransformChain grown_stream_chain(std::uint64_t s, Bytes& text) {
  const std::uint64_t grown = 32 * s;
  const Bytes zeros(65536, 0);
  Bytes front = enum_stream(0, 0);  // the stream's header, its index bytes to come
  const std::uint64_t pieces = (grown - front.size()) / (zeros.size() + 1);
  const std::uint64_t body = 1 + 4 + 4 + pieces * (zeros.size() + 1);
  for (int i = 0; i < 4; ++i) front[11 + i] = static_cast<std::uint8_t>(body >> (8 * i));
  for (int i = 0; i < 4; ++i) front[20 + i] = static_cast<std::uint8_t>((body - 9) >> (8 * i));
  Bytes dictionary = {1};
  kvn::append_u16_le(dictionary, 1);
  dictionary.push_back(2);
  for (const Bytes* entry : {static_cast<const Bytes*>(&front), &zeros}) {
    kvn::append_u32_le(dictionary, static_cast<std::uint32_t>(entry->size()));
    kvn::append_bytes(dictionary, *entry);
  }
  text = {0x02};
  for (std::uint64_t i = 0; i < pieces; ++i) kvn::append_bytes(text, Bytes{0x01, 0x03});
  TransformChain chain;
  add(chain, TransformKind::NestedFlatten,
      nested_flatten(UINT32_MAX, 1, one_byte_keys(metadata_room(s) - dictionary.size())));
  add(chain, TransformKind::TypedEncoding, {});
  add(chain, TransformKind::ValueDict, std::move(dictionary));
  return chain;
}

inline Bytes grown_stream_with_section(std::uint64_t s) {
  Bytes text;
  const TransformChain chain = grown_stream_chain(s, text);
  return fast_with_section(chain, text, s);
}

inline Bytes grown_stream_embedded(std::uint64_t s) {
  Bytes text;
  const TransformChain chain = grown_stream_chain(s, text);
  return fast_embedded(chain, text, s);
}

// ---- metadata of the smallest entries, no growth ----


// A JSON-array Grouped record of one group, one member, whose nested
// block lists as many one-byte keys as the metadata holds.
inline Bytes array_group_of_one_byte_keys(std::uint64_t s) {
  const Bytes info = one_byte_keys(metadata_room(s) - 2048);
  Bytes metadata = {2};
  kvn::append_u32_le(metadata, 0);  // prefix
  kvn::append_u32_le(metadata, 0);  // suffix
  kvn::append_u16_le(metadata, 0);  // default separator
  metadata.push_back(1);            // one separator for all
  kvn::append_u16_le(metadata, 1);  // groups
  kvn::append_u32_le(metadata, 1);  // members
  kvn::append_u32_le(metadata, 0);  // its index
  Bytes layout = {1};
  kvn::append_u32_le(layout, 1);
  kvn::append_u16_le(layout, 1);
  kvn::append_u16_le(layout, 2);
  kvn::append_u16_le(layout, 0);
  kvn::append_u16_le(layout, 0);
  kvn::append_u32_le(metadata, static_cast<std::uint32_t>(layout.size()));
  kvn::append_bytes(metadata, layout);
  metadata.push_back(1);  // nested
  kvn::append_u32_le(metadata, static_cast<std::uint32_t>(6 + info.size()));
  kvn::append_u32_le(metadata, 1);
  kvn::append_u16_le(metadata, 1);
  kvn::append_bytes(metadata, info);
  kvn::append_u32_le(metadata, 0);  // no residual elements
  kvn::append_u32_le(metadata, 0);
  TransformChain chain;
  add(chain, TransformKind::JsonArray, std::move(metadata));
  Bytes text;
  kvn::append_u32_le(text, 1);
  text.push_back('1');
  return fast_embedded(chain, text, s);
}

// A JSON-array Uniform record of one empty column whose rows are
// separated by as many empty separators as the metadata holds.
inline Bytes array_of_empty_separators(std::uint64_t s) {
  const auto rows = static_cast<std::uint32_t>((metadata_room(s) - 32) / 2);
  Bytes metadata = {1};
  kvn::append_u32_le(metadata, rows);
  kvn::append_u16_le(metadata, 1);
  kvn::append_u32_le(metadata, 0);
  kvn::append_u32_le(metadata, 0);
  kvn::append_u16_le(metadata, 2);
  kvn::append_u16_le(metadata, 0);
  kvn::append_u16_le(metadata, 0);
  metadata.push_back(0);  // a separator of its own between each two rows
  metadata.resize(metadata.size() + 2 * std::size_t{rows - 1}, 0);
  TransformChain chain;
  add(chain, TransformKind::JsonArray, std::move(metadata));
  return fast_embedded(chain, empty_values(rows), s);
}

// An NDJSON Grouped record of no group and as many residual lines as the
// metadata holds indices for.
inline Bytes ndjson_of_residual_lines(std::uint64_t s) {
  const auto lines = static_cast<std::uint32_t>((metadata_room(s) - 16) / 4);
  Bytes metadata = {2, 0};
  kvn::append_u32_le(metadata, lines);
  kvn::append_u16_le(metadata, 0);
  kvn::append_u32_le(metadata, lines);
  for (std::uint32_t i = 0; i < lines; ++i) kvn::append_u32_le(metadata, i);
  TransformChain chain;
  add(chain, TransformKind::Ndjson, std::move(metadata));
  return fast_embedded(chain, Bytes(lines - 1, '\n'), s);
}

// ---- "max" and "balanced" ----

// A CM container whose stream carries its chain and declares the longest
// text the reader lets through before decoding (4 + S + 64 KiB + 32 x S),
// its first four bytes a length no block that long holds.
inline Bytes cm_embedded_length(std::uint8_t mode, std::uint64_t s) {
  const auto out_len = static_cast<std::uint32_t>(4 + s + 65536 + 32 * s);
  Bytes front;
  kvn::append_u32_le(front, 0xDC000000);
  auto coded = mode == 0 ? codec::cm_compress(front, model::CM_CONFIG_MAX)
                         : codec::gru_compress(front, model::CM_CONFIG_BALANCED);
  Bytes payload;
  kvn::append_u32_le(payload, out_len);
  kvn::append_u32_le(payload, 0);
  kvn::append_bytes(payload, coded.value());
  payload.resize(8 + out_len / (2 * codec::CM_BYTES_PER_STREAM_BYTE) + 1, 0);
  return container(mode, kvn::FLAG_EMBEDDED_METADATA, s, {}, payload);
}
inline Bytes max_embedded_length(std::uint64_t s) { return cm_embedded_length(0, s); }
inline Bytes balanced_embedded_length(std::uint64_t s) { return cm_embedded_length(1, s); }

// A CM container whose chain grants the whole growth and whose stream
// declares the longest text that grant allows, 32 x S: the reader must
// decode all of it, which is what a caller who screens by the declared
// size has to allow for. The stream's bytes are zeros; they decode to
// something, as any stream does.
inline Bytes cm_grown_text(std::uint8_t mode, std::uint64_t s) {
  TransformChain chain;
  add(chain, TransformKind::NestedFlatten, growth_grant());
  const auto out_len = static_cast<std::uint32_t>(32 * s);
  Bytes payload;
  kvn::append_u32_le(payload, out_len);
  kvn::append_u32_le(payload, 0);
  payload.resize(8 + out_len / (2 * codec::CM_BYTES_PER_STREAM_BYTE) + 1, 0);
  return container(mode, kvn::FLAG_HAS_METADATA, s, chain.serialize(), payload);
}
inline Bytes max_grown_text(std::uint64_t s) { return cm_grown_text(0, s); }
inline Bytes balanced_grown_text(std::uint64_t s) { return cm_grown_text(1, s); }

struct Shape {
  const char* name;
  std::vector<std::uint64_t> sizes;  // the declared sizes the bench builds it at
  Bytes (*build)(std::uint64_t s);
  bool slow = false;  // it builds a context-mixing engine and decodes 32 x S with it
};

inline std::vector<Shape> shapes() {
  return {
      {"253 kind-15 records, growth", {1 * kMB, 10 * kMB}, kind15_chain_with_growth},
      {"kind-15 rewrites of 1-byte values", {1 * kMB, 10 * kMB}, kind15_chain_over_tiny_values},
      {"value-dictionary rewrites of 1-byte values", {1 * kMB, 10 * kMB},
       value_dict_chain_over_tiny_values},
      {"grant, then a text of 32 x S", {10 * kMB, 100 * kMB}, grant_over_a_grown_text},
      {"grant, typed, dictionary; section", {10 * kMB, 100 * kMB}, grown_stream_with_section},
      {"grant, typed, dictionary; embedded", {10 * kMB}, grown_stream_embedded},
      {"embedded one-byte nested keys", {10 * kMB}, array_group_of_one_byte_keys},
      {"embedded empty array separators", {10 * kMB}, array_of_empty_separators},
      {"embedded NDJSON line slots", {10 * kMB}, ndjson_of_residual_lines},
      {"max, embedded length 3.7 GB", {1 * kMB}, max_embedded_length},
      {"balanced, embedded length 3.7 GB", {1 * kMB}, balanced_embedded_length},
      {"max, a grant and 32 x S of text", {1 * kMB}, max_grown_text, true},
      {"balanced, a grant and 32 x S of text", {1 * kMB}, balanced_grown_text, true},
      {"NDJSON rewrites of 1-byte rows", {1 * kMB, 10 * kMB}, ndjson_chain_over_tiny_rows},
      {"253 kind-15 records, no growth", {10 * kMB}, kind15_chain_without_growth},
      {"253 value-dictionary records", {10 * kMB}, value_dict_chain},
      {"253 key-dictionary records", {10 * kMB}, key_dict_chain},
  };
}

}  // namespace kelvane::hostile
