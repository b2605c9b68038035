// Undoing an arbitrary transform chain over arbitrary bytes never crashes,
// hangs or produces (or reserves) more than the chain's budgets allow.
//
// Input: u16 chain length L, then L bytes of stored chain (TransformChain's
// byte form), then the data the chain is undone on. The declared original
// size is a small multiple of the input, as a container's would be.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "format/format.hpp"
#include "format/transform.hpp"
#include "kvn/bytes.hpp"

namespace kvn = kelvane::kvn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t chain_length = std::min<std::size_t>(kvn::load_u16_le(data), size - 2);
  const kvn::ByteSpan chain_bytes(data + 2, chain_length);
  const kvn::ByteSpan text(data + 2 + chain_length, size - 2 - chain_length);
  auto chain = kelvane::format::transform::TransformChain::deserialize(chain_bytes);
  if (!chain.ok()) return 0;
  const std::uint64_t original_size = 16 * std::uint64_t{size} + 4096;
  const auto result = kelvane::format::reverse_preprocess(kvn::Bytes(text.begin(), text.end()),
                                                          *chain, original_size);
  if (!result.ok()) return 0;  // past the chain's work limit
  const kvn::Bytes& out = result.value();
  // A step that cannot run gives its input back, which may itself exceed
  // its budget; nothing else may.
  const std::uint64_t stream = kelvane::format::reverse_budgets(*chain, original_size).stream;
  if (out.size() > std::max<std::uint64_t>(stream, text.size())) __builtin_trap();
  return 0;
}
