#include "format/format.hpp"

namespace kelvane::format {

// No transform is built yet: every transform declines.
Preprocessed preprocess(kvn::ByteSpan data, std::uint8_t /*hint*/, std::uint8_t /*mode*/) {
  return {kvn::Bytes(data.begin(), data.end()), {}};
}

// With no transform built, every record is skipped.
kvn::Bytes reverse_preprocess(kvn::ByteSpan data, const transform::TransformChain& /*chain*/,
                              std::uint64_t /*output_budget*/) {
  return kvn::Bytes(data.begin(), data.end());
}

}  // namespace kelvane::format
