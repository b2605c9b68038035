// The two entry points of the structured-data transforms.
#pragma once

#include <cstdint>

#include "format/transform.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format {

struct Preprocessed {
  kvn::Bytes data;                   // the transformed bytes (a copy when nothing applied)
  transform::TransformChain chain;   // empty when nothing applied
};

// Applies the transforms that fit `data` for the resolved hint and the mode.
// Never fails.
Preprocessed preprocess(kvn::ByteSpan data, std::uint8_t hint, std::uint8_t mode);

// Undoes `chain` from its last record to its first. Never fails: a step whose
// metadata it cannot use leaves the bytes unchanged. The first record's
// reverse produces at most `output_budget` bytes (the container's declared
// original size), every later one at most what the records before it can
// write from that much input. A step that would produce more returns its
// input unchanged; when that input is itself over the step's budget, the
// result is a copy of `data`. The container's checks then report it.
kvn::Bytes reverse_preprocess(kvn::ByteSpan data, const transform::TransformChainView& chain,
                              std::uint64_t output_budget);

// The same for a chain that owns its records (as preprocess returns it).
inline kvn::Bytes reverse_preprocess(kvn::ByteSpan data, const transform::TransformChain& chain,
                                     std::uint64_t output_budget) {
  return reverse_preprocess(data, chain.view(), output_budget);
}

}  // namespace kelvane::format
