// Nested-object flattening for ColumnarText.
//
// A column whose values are all objects (or "null") is replaced by one
// sub-column per key met in its objects, so that each sub-column holds like
// values. One NestedGroupInfo per flattened column records what rebuilds the
// objects: the keys, the skeleton of the column's first object (the
// template) and a bitmap of the (key, row) pairs whose object lacked the key.
// Flattening builds them; the reverse reads their byte form in place
// (StoredNestedInfos), so forged metadata costs little more than its size.
//
// Flattening does not restore every text exactly: objects come back through
// the template (or in a compact form when keys are missing), so every caller
// unflattens at once and keeps the flat text only when it equals the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::ndjson {

// One flattened column.
struct NestedGroupInfo {
  // Keys in order of first appearance, without repeats; raw bytes between
  // the quotes, escapes kept as written.
  std::vector<kvn::Bytes> keys;
  // Skeleton of the column's first object: n+1 pieces around its n values.
  // May be empty when read from bytes that carry none.
  std::vector<kvn::Bytes> template_pieces;
  // Bit (key index * rows + row), least significant bit first, is set when
  // that row's object lacks that key. Empty when no bit is set.
  kvn::Bytes absent_bitmap;
  // Index of the flattened column in the text before flattening.
  std::uint16_t column = 0;

  bool operator==(const NestedGroupInfo&) const = default;
};

// First byte of the serialized info list.
enum class NestedInfoLevel : std::uint8_t {
  KeysOnly = 1,      // no info carries a template or a bitmap
  WithTemplate = 2,  // every info carries a piece count
  WithBitmap = 3,    // every info carries a piece count and a bitmap length
};

// Widths of the serialized form.
inline constexpr std::size_t kMaxNestedInfos = 255;
inline constexpr std::size_t kMaxNestedKeys = 65535;
inline constexpr std::size_t kMaxNestedPieces = 65535;
inline constexpr std::size_t kMaxNestedBytesLength = 65535;  // one key or piece

// One member of a flat object: the key's raw bytes (between its quotes) and
// the member's raw value. Both are views into the parsed text.
struct NestedMember {
  kvn::ByteSpan key;
  kvn::ByteSpan value;
};

struct NestedObject {
  std::vector<kvn::ByteSpan> pieces;  // the object's skeleton: members.size() + 1 pieces
  std::vector<NestedMember> members;
};

// Splits an object into its members. Nothing unless the text (leading blanks
// allowed) is '{', quoted keys with ':' and a value each, separated by ',',
// and a closing '}' after at least one member (a comma before the '}' is
// accepted). Bytes after the closing '}' are not examined.
std::optional<std::vector<NestedMember>> parse_nested_object_kv(kvn::ByteSpan value);
// The same into reused storage; false where the above gives nothing.
bool parse_nested_object_kv(kvn::ByteSpan value, std::vector<NestedMember>& members);

// Accepts exactly the texts parse_nested_object_kv accepts and also returns
// the skeleton: piece 0 from the first byte of the text to value 0, piece i
// from value i-1 to value i, the last piece from the last value to the end.
std::optional<NestedObject> parse_nested_object_with_template(kvn::ByteSpan value);

// How a flattened column records a key that a row's object lacks: a bit of
// the info's absent_bitmap (NDJSON layouts and the step after a uniform JSON
// array layout), or the AbsentMarker byte in place of the value (the groups
// of a grouped JSON array layout, whose infos carry no bitmap).
enum class AbsentKeys : std::uint8_t { Bitmap, Marker };
inline constexpr std::uint8_t ABSENT_MARKER = 0x02;

// What flattening does when a column's info would not fit the serialized
// form (more than 255 flattened columns, or a key, a piece or a count wider
// than its field).
enum class WidthOverflow : std::uint8_t {
  LeaveColumn,  // that column stays as it is; columns past the 255th too
  Decline,      // the whole call gives nothing (all or nothing)
};

struct FlattenOptions {
  AbsentKeys absent = AbsentKeys::Bitmap;
  WidthOverflow overflow = WidthOverflow::LeaveColumn;
  // For tests only: false flattens every qualifying column however many keys
  // it brings, as a writer without the growth bound would.
  bool bound_growth = true;
};

struct FlattenedColumns {
  kvn::Bytes text;                     // the flat ColumnarText
  std::vector<NestedGroupInfo> infos;  // one per flattened column, in column order
};

// Flattens every column of `text` whose values are all "null" or objects
// (at least one object) and all parse. Nothing when rows is 0, a column does
// not hold `rows` values, or no column was flattened. A column is left as it
// is when its flattening would outgrow the column (keys x rows beyond the
// column's own length, as with objects keyed by ids; never a width
// overflow), and a column that would not fit the serialized form is handled
// as `options.overflow` says, so every returned info list passes
// nested_infos_fit_byte_form.
std::optional<FlattenedColumns> flatten_nested_columns(kvn::ByteSpan text, std::uint32_t rows,
                                                       const FlattenOptions& options = {});

// True when the infos can be serialized without reducing any count or length
// modulo its width: at most 255 infos, at most 65,535 keys and pieces per
// info, keys and pieces of at most 65,535 bytes, bitmaps below 4 GiB. Every
// caller checks this before it stores infos.
bool nested_infos_fit_byte_form(std::span<const NestedGroupInfo> infos);

// The serialized info list (level byte, info count, then each info).
kvn::Bytes serialize_nested_info(std::span<const NestedGroupInfo> infos);

// One info as stored: its keys, pieces and bitmap are views into the
// serialized list it was read from.
class StoredNestedInfo {
 public:
  std::size_t key_count() const noexcept { return key_count_; }
  kvn::ByteSpan key(std::size_t j) const noexcept { return entry(keys_, key_offsets_[j]); }
  // 0 when the list carries no template for this info.
  std::size_t piece_count() const noexcept { return piece_count_; }
  kvn::ByteSpan piece(std::size_t j) const noexcept { return entry(pieces_, piece_offsets_[j]); }
  // Empty when no bit is set.
  kvn::ByteSpan absent_bitmap() const noexcept { return absent_bitmap_; }
  std::uint16_t column() const noexcept { return column_; }

 private:
  friend class StoredNestedInfos;
  // An entry is its u16 length, then its bytes.
  static kvn::ByteSpan entry(const std::uint8_t* list, std::uint32_t offset) noexcept {
    const std::uint8_t* at = list + offset;
    return {at + 2, kvn::load_u16_le(at)};
  }
  const std::uint8_t* keys_ = nullptr;  // the first key's length field
  const std::uint8_t* pieces_ = nullptr;
  const std::uint32_t* key_offsets_ = nullptr;  // from keys_, one per key
  const std::uint32_t* piece_offsets_ = nullptr;
  kvn::ByteSpan absent_bitmap_;
  std::uint16_t key_count_ = 0;
  std::uint16_t piece_count_ = 0;
  std::uint16_t column_ = 0;
};

struct DeserializedNestedInfo;

// A serialized info list as the reverse reads it, without copying what it
// stores: a record per info (at most 255), and one u32 per key and piece,
// its offset from the start of its list (a list of 65,535 entries spans
// less than 2^32 bytes). So an empty key, 2 stored bytes, costs 4 bytes.
// Views into the bytes it was read from, which must outlive it.
class StoredNestedInfos {
 public:
  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  StoredNestedInfo operator[](std::size_t i) const noexcept;

 private:
  friend std::optional<DeserializedNestedInfo> deserialize_nested_info(kvn::ByteSpan bytes);
  struct Record {
    const std::uint8_t* keys = nullptr;
    const std::uint8_t* pieces = nullptr;
    kvn::ByteSpan absent_bitmap;
    std::uint32_t first_offset = 0;  // its keys' offsets, then its pieces'
    std::uint16_t key_count = 0;
    std::uint16_t piece_count = 0;
    std::uint16_t column = 0;
  };
  std::vector<Record> records_;
  std::vector<std::uint32_t> offsets_;
};

struct DeserializedNestedInfo {
  StoredNestedInfos infos;
  std::size_t bytes_used = 0;  // offset just after the last info
};

// Reads a serialized info list from the start of `bytes`. Nothing on a level
// byte other than 1, 2 or 3, or on any field cut short. Bytes after the last
// info are not examined. The infos are views into `bytes`: a temporary
// buffer would leave them dangling.
std::optional<DeserializedNestedInfo> deserialize_nested_info(kvn::ByteSpan bytes);
std::optional<DeserializedNestedInfo> deserialize_nested_info(kvn::Bytes&&) = delete;

// What one cell of a sub-column adds to a flat text at most beyond the
// bytes the row's object held: "null" and its separator, where the object
// lacks the key (or the row is null).
inline constexpr std::uint64_t kAbsentCellBytes = 5;

// The shortest value of a column that unflattening rebuilds: "null".
inline constexpr std::uint64_t kShortestNestedValue = 4;

// The (row, key) cells of the sub-columns `infos` describe over `rows` rows:
// rows times the key count of every info, saturating.
std::uint64_t nested_cells(const StoredNestedInfos& infos, std::uint32_t rows) noexcept;

// Rebuilds the text before flattening from `flat` (`columns` columns of
// `rows` values each). Never fails: when the arguments do not fit `flat`, or
// the rebuilt text would exceed `budget` bytes, returns a copy of `flat`.
//
// With AbsentKeys::Marker a row is "null" when all its sub-values are; an
// object lacking keys is rebuilt from the template with the missing keys'
// pieces left out (and, when its first key is missing, the first present
// key's piece joined to the template's opening brace); without a template
// of keys + 1 pieces, in the compact form, which also leaves out "null"
// members.
kvn::Bytes unflatten_nested_columns(kvn::ByteSpan flat, const StoredNestedInfos& infos,
                                    std::uint32_t rows, std::uint16_t columns, Budget budget,
                                    AbsentKeys absent = AbsentKeys::Bitmap);

// The same from infos in hand, through their byte form, as a reader would
// get them; infos that do not fit it (nested_infos_fit_byte_form) give a
// copy of `flat`.
kvn::Bytes unflatten_nested_columns(kvn::ByteSpan flat, std::span<const NestedGroupInfo> infos,
                                    std::uint32_t rows, std::uint16_t columns, Budget budget,
                                    AbsentKeys absent = AbsentKeys::Bitmap);

}  // namespace kelvane::format::ndjson
