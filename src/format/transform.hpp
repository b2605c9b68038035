// TransformChain: the ordered record of the reversible transforms applied to
// an input, carried in the container's metadata and undone last to first.
#pragma once

#include <cstdint>
#include <vector>

#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::format::transform {

enum class TransformKind : std::uint8_t {
  Json = 1,
  Ndjson = 2,
  JsonArray = 7,
  ValueDict = 13,
  TypedEncoding = 14,
  NestedFlatten = 15,
};

struct TransformRecord {
  std::uint8_t kind = 0;  // a TransformKind; other values are read and skipped
  kvn::Bytes metadata;

  friend bool operator==(const TransformRecord&, const TransformRecord&) = default;
};

struct TransformChain {
  std::vector<TransformRecord> records;

  bool empty() const noexcept { return records.empty(); }

  // count (u8), then per record: kind (u8), metadata length (u32 LE), metadata.
  kvn::Bytes serialize() const;

  // Fails with InvalidData "transform record truncated" or
  // "transform metadata truncated"; bytes after the last record are ignored.
  static kvn::Result<TransformChain> deserialize(kvn::ByteSpan bytes);

  friend bool operator==(const TransformChain&, const TransformChain&) = default;
};

}  // namespace kelvane::format::transform
