// Every input a forward transform accepts comes back exactly: for any bytes,
// reverse_preprocess(preprocess(x)) == x, through the chain's stored byte
// form and under the budget a container would give (the input's length).
// No coder runs, so this reaches thousands of inputs a second.
//
// Input: one control byte, then the document. The control byte's low bit
// picks the hint (JSON or NDJSON); (byte >> 1) % 3 picks the mode
// (0 "max", 1 "balanced", 2 "fast").
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "format/format.hpp"
#include "format/transform.hpp"
#include "kvn/bytes.hpp"
#include "kvn/container.hpp"

namespace kvn = kelvane::kvn;
namespace format = kelvane::format;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const auto hint = static_cast<std::uint8_t>((data[0] & 1) != 0 ? kvn::FormatHint::Ndjson
                                                                 : kvn::FormatHint::Json);
  const auto mode = static_cast<std::uint8_t>((data[0] >> 1) % 3);
  const kvn::ByteSpan input(data + 1, size - 1);

  const format::Preprocessed forward = format::preprocess(input, hint, mode);
  const kvn::Bytes stored = forward.chain.serialize();  // the chain read back borrows it
  auto chain = format::transform::TransformChain::deserialize(stored);
  if (!chain.ok() || !(*chain == forward.chain.view())) {
    std::fprintf(stderr, "the chain does not survive its byte form\n");
    __builtin_trap();
  }
  const auto reversed = format::reverse_preprocess(forward.data, *chain, input.size());
  if (!reversed.ok()) {
    std::fprintf(stderr, "hint %u mode %u: %s\n", hint, mode, reversed.error().message.c_str());
    __builtin_trap();
  }
  const kvn::Bytes& back = reversed.value();
  if (back.size() != input.size() ||
      (!input.empty() && std::memcmp(back.data(), input.data(), input.size()) != 0)) {
    std::fprintf(stderr, "hint %u mode %u: the round trip changed the bytes (%zu -> %zu)\n",
                 hint, mode, input.size(), back.size());
    __builtin_trap();
  }
  return 0;
}
