// The typed column stream on arbitrary bytes, both ways:
// - as a stored stream: reverse never crashes, hangs or writes (or
//   reserves) more than its budget, whatever the header, tags and bodies;
// - as ColumnarText: whenever preprocess keeps a stream, reverse gives the
//   text back exactly.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "format/typed_encoding/typed_encoding.hpp"
#include "kvn/bytes.hpp"

namespace kvn = kelvane::kvn;
namespace typed = kelvane::format::typed_encoding;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const kvn::ByteSpan input(data, size);

  const std::uint64_t budget = 8 * std::uint64_t{size} + 1024;
  const kvn::Bytes text = typed::reverse(input, budget);
  if (text.size() > std::max<std::uint64_t>(budget, size)) __builtin_trap();

  if (const auto stream = typed::preprocess(input)) {
    if (stream->size() >= size) __builtin_trap();
    const kvn::Bytes back = typed::reverse(*stream, size);
    if (back.size() != size || (size != 0 && std::memcmp(back.data(), data, size) != 0)) {
      std::fprintf(stderr, "the typed stream changed the text (%zu -> %zu bytes)\n", size, back.size());
      __builtin_trap();
    }
  }
  return 0;
}
