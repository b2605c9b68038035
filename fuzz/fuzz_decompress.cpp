// Any bytes handed to the reader give restored bytes or an error, never a
// crash, a hang or an allocation driven by a forged length.
//
// Containers of the two context-mixing modes are read up to their payload
// checks only: decoding them builds an engine of more than 2 GiB per call,
// which no fuzzing loop can afford.
#include <cstddef>
#include <cstdint>

#include "codec/codec.hpp"

namespace codec = kelvane::codec;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kelvane::kvn::ByteSpan input(data, size);
  if (size > 5 && data[5] < 2) {
    auto view = codec::parse_container(input);
    if (!view.ok()) return 0;
    const auto payload = view->payload;
    const bool neural = payload.size() >= 8 && (payload[7] & 0x80) != 0 && data[5] == 0;
    if (payload.size() >= 8 && !neural) return 0;
    // Too short, or the neural flag: both refused before any engine exists.
    auto restored = codec::decompress_from_slice(input);
    if (restored.ok()) __builtin_trap();
    return 0;
  }
  auto restored = codec::decompress_from_slice(input);
  if (restored.ok() && restored->size() != codec::read_header(input)->original_size) {
    __builtin_trap();  // the reader checked the length; a mismatch is a reader fault
  }
  return 0;
}
