// The value dictionary: the last step after a uniform columnar layout. Each
// column (a stretch between 0x00 bytes) is looked at on its own; a column
// that repeats few distinct values (stretches between 0x01 bytes) stores
// them once in the metadata, most frequent first, and each value in the text
// becomes one code byte, 2 + its index. Codes run from 2 to 254, so they never
// meet the separators and a column holds at most 253 entries.
//
// The input is treated purely as bytes shaped like columnar text: over the
// typed column stream its columns and values are whatever the 0x00 and 0x01
// bytes of the stream cut out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/budget.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::value_dict {

inline constexpr std::uint8_t COLUMN_SEPARATOR = 0x00;
inline constexpr std::uint8_t VALUE_SEPARATOR = 0x01;
inline constexpr std::uint8_t kFirstCode = 2;
inline constexpr std::size_t kMaxEntries = 253;  // codes 2 to 254
inline constexpr std::uint8_t kVerbatimMark = 0xFF;
inline constexpr std::uint8_t kMetadataVersion = 1;
// The column count is stored in 16 bits: wider input is declined.
inline constexpr std::size_t kMaxColumns = 0xFFFF;

// The metadata: version byte 1, the column count (u16), then per column
// either the mark 0xFF (stored unchanged) or a dictionary: its size (u8),
// then each entry as a u32 length and its bytes, in code order.
struct ValueDictMetadata {
  struct Column {
    bool verbatim = true;
    std::uint32_t first = 0;  // index of its first entry in `entries`
    std::uint32_t size = 0;   // number of entries
  };
  std::vector<Column> columns;
  std::vector<kvn::ByteSpan> entries;  // views: into the input, or into the stored bytes

  std::span<const kvn::ByteSpan> dictionary(const Column& column) const noexcept {
    return std::span<const kvn::ByteSpan>(entries).subspan(column.first, column.size);
  }

  std::uint64_t serialized_size() const noexcept;
  kvn::Bytes serialize() const;

  // The columns and entries of stored metadata, as views into it; nothing
  // where StoredColumns::open gives nothing. (The reverse reads the
  // columns in place instead.)
  static std::optional<ValueDictMetadata> parse(kvn::ByteSpan metadata);
};

// Stored metadata read in place, column by column, in order: a reader
// holds one column's dictionary at a time (at most 253 views into the
// metadata), never a view for every entry it stores.
class StoredColumns {
 public:
  // Nothing when the metadata is shorter than 3 bytes or ends before its
  // last column is complete; every column is checked. The version byte is
  // not examined; bytes after the last column are ignored. The entries are
  // views into `metadata`, which must outlive the reader.
  static std::optional<StoredColumns> open(kvn::ByteSpan metadata);
  static std::optional<StoredColumns> open(kvn::Bytes&&) = delete;

  std::uint16_t count() const noexcept { return count_; }

  // The next column. False when it is cut; otherwise `verbatim` tells a
  // column stored unchanged, and `entries` (when given) gets the
  // dictionary of any other, in code order.
  bool next(bool& verbatim, std::vector<kvn::ByteSpan>* entries);

 private:
  StoredColumns(kvn::ByteReader columns, std::uint16_t count) noexcept
      : reader_(columns), count_(count) {}
  kvn::ByteReader reader_;  // at the next column
  std::uint16_t count_ = 0;
};

// The stretches between 0x00 bytes (k separators give k + 1 slices, empty
// ones included; an empty input gives one empty slice).
std::vector<kvn::ByteSpan> split_columns(kvn::ByteSpan data);
// The same for 0x01 bytes.
std::vector<kvn::ByteSpan> split_values(kvn::ByteSpan column);

// One column's verdict: its dictionary (most frequent first; equal counts in
// the order the values first occur in the column), or verbatim.
struct ColumnAnalysis {
  std::vector<kvn::ByteSpan> dictionary;
  bool uses_dictionary = false;
};
ColumnAnalysis analyze_column(kvn::ByteSpan column);

struct Transformed {
  kvn::Bytes text;
  kvn::Bytes metadata;
};

// Forward step. Declines on empty input, on more than 65,535 columns, when no
// column earns a dictionary, or when text and metadata together are not
// smaller than the input.
std::optional<Transformed> preprocess(kvn::ByteSpan data);

// Reverse step; never fails. Rebuilds as many columns as the metadata states
// (a data column beyond them is dropped, and a 0x00 follows every column
// rebuilt but the last stated one); a code past its column's dictionary
// becomes an empty value. Metadata it cannot read, or a rebuilt text longer
// than `budget` bytes, gives back a copy of `data`.
kvn::Bytes reverse(kvn::ByteSpan data, kvn::ByteSpan metadata, Budget budget);

}  // namespace kelvane::format::value_dict
