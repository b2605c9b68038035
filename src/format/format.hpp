// The two entry points of the structured-data transforms.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "format/transform.hpp"
#include "kvn/bytes.hpp"
#include "kvn/error.hpp"

namespace kelvane::format {

struct Preprocessed {
  kvn::Bytes data;                   // the transformed bytes (a copy when nothing applied)
  transform::TransformChain chain;   // empty when nothing applied
};

// Applies the transforms that fit `data` for the resolved hint and the mode.
// Never fails.
Preprocessed preprocess(kvn::ByteSpan data, std::uint8_t hint, std::uint8_t mode);

// A flattened text is at most this many times as long as the original
// the container declares. The reverse budgets never grant more, so a
// container whose writer flattened further is not read.
inline constexpr std::uint64_t kMaxFlatGrowth = 32;

// What the reverse of a chain may write, from the original size S the
// container declares. Only a flattening record whose metadata parses and
// declares nested infos (kind 2 with a nested block, kind 15) lets a text
// be longer than S: by what its sub-columns can add (each absent cell a
// "null" and a separator), at most kMaxFlatGrowth x S in all, and once per
// chain. Every other record's text is no longer than the text it undoes to.
struct ReverseBudgets {
  std::vector<std::uint64_t> outputs;  // outputs[i]: the most record i's reverse gives back
  std::uint64_t stream = 0;            // the most the text before the last reverse may hold
};
ReverseBudgets reverse_budgets(const transform::TransformChainView& chain,
                               std::uint64_t original_size);

// The largest `stream` budget any chain can claim for `original_size`.
std::uint64_t max_chain_budget(std::uint64_t original_size) noexcept;

// The reverse of one chain writes, over all of its steps (every text they
// give back, the copies of those they cannot undo, and the buffers of
// grouped rebuilds), at most this many times the chain's stream budget.
// A chain this writer stores writes at most about twice it: each record's
// text at most once, the flat text and the stream before it being the
// only ones that may pass the original size, and a grouped layout's lines
// once in their groups and once in place. A stored chain of many records,
// each rewriting the whole text, reaches the limit after a few of them.
inline constexpr std::uint64_t kChainWorkPerBudget = 4;

// Undoes `chain` from its last record to its first, each record within its
// budget (reverse_budgets of `original_size`), and all of them within
// kChainWorkPerBudget times the stream budget. A step whose metadata it
// cannot use gives its input back. Each step replaces the text and releases
// the one before, so at most two texts are held at a time. A step that
// hands back a text over its budget ends the reverse with that text; the
// container's checks then report it. Fails when `data` is longer than the
// stream budget, which no chain can rebuild the original from, and when the
// chain would write past its work limit, then before the write.
kvn::Result<kvn::Bytes> reverse_preprocess(kvn::Bytes data,
                                           const transform::TransformChainView& chain,
                                           std::uint64_t original_size);

// The same for a chain that owns its records (as preprocess returns it).
inline kvn::Result<kvn::Bytes> reverse_preprocess(kvn::Bytes data,
                                                  const transform::TransformChain& chain,
                                                  std::uint64_t original_size) {
  return reverse_preprocess(std::move(data), chain.view(), original_size);
}

}  // namespace kelvane::format
