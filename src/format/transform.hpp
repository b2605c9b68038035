// TransformChain: the ordered record of the reversible transforms applied to
// an input, carried in the container's metadata and undone last to first.
#pragma once

#include <algorithm>
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

// A record as the forward transforms build it: it owns its metadata.
struct TransformRecord {
  std::uint8_t kind = 0;  // a TransformKind; other values are read and skipped
  kvn::Bytes metadata;

  friend bool operator==(const TransformRecord&, const TransformRecord&) = default;
};

// A record read back from stored chain bytes: its metadata is a view into
// those bytes, so reading a chain never copies what may be a large section.
struct TransformRecordView {
  std::uint8_t kind = 0;
  kvn::ByteSpan metadata;

  friend bool operator==(const TransformRecordView& a, const TransformRecordView& b) {
    return a.kind == b.kind && std::ranges::equal(a.metadata, b.metadata);
  }
};

// A chain whose records borrow their metadata; valid while those bytes live.
struct TransformChainView {
  std::vector<TransformRecordView> records;

  bool empty() const noexcept { return records.empty(); }

  // count (u8), then per record: kind (u8), metadata length (u32 LE), metadata.
  kvn::Bytes serialize() const;

  friend bool operator==(const TransformChainView&, const TransformChainView&) = default;
};

struct TransformChain {
  std::vector<TransformRecord> records;

  bool empty() const noexcept { return records.empty(); }

  // The records as views into this chain's own metadata.
  TransformChainView view() const;

  kvn::Bytes serialize() const { return view().serialize(); }

  // Reads stored chain bytes; the records are views into `bytes`. Fails with
  // InvalidData "transform record truncated" or "transform metadata
  // truncated"; bytes after the last record are ignored.
  static kvn::Result<TransformChainView> deserialize(kvn::ByteSpan bytes);
  // A temporary buffer would leave the records pointing at freed bytes.
  static kvn::Result<TransformChainView> deserialize(kvn::Bytes&&) = delete;

  friend bool operator==(const TransformChain&, const TransformChain&) = default;
};

}  // namespace kelvane::format::transform
