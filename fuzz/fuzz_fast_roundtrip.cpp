// "fast" compression of any bytes decodes back to exactly those bytes. The
// first byte's low bit picks the turbo join instead of the full race.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "codec/codec.hpp"
#include "kvn/container.hpp"

namespace codec = kelvane::codec;
namespace kvn = kelvane::kvn;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kvn::ByteSpan input(data, size);
  const bool turbo = size > 0 && (data[0] & 1) != 0;
  kvn::Bytes container;
  auto status = codec::compress_with_all_options(input, 2, kvn::FORMAT_AUTO, std::nullopt, turbo,
                                                 container);
  if (!status.ok()) {
    std::fprintf(stderr, "compression failed: %s\n", status.error().message.c_str());
    __builtin_trap();
  }
  auto header = codec::read_header(container);
  if (!header.ok() || header->mode != 2 || header->original_size != size) {
    std::fprintf(stderr, "bad header\n");
    __builtin_trap();
  }
  auto restored = codec::decompress_from_slice(container);
  if (!restored.ok()) {
    std::fprintf(stderr, "decompression failed: %s\n", restored.error().message.c_str());
    __builtin_trap();
  }
  if (restored->size() != size || (size > 0 && std::memcmp(restored->data(), data, size) != 0)) {
    std::fprintf(stderr, "round trip changed the bytes\n");
    __builtin_trap();
  }
  return 0;
}
