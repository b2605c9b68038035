// The key dictionary's reverse step. The walk over the tokens runs twice,
// counting and then writing (sink.hpp): a two-byte token can stand for a key
// of 65,535 bytes, so the output is sized from the walk itself and never
// from the data's size.
#include <algorithm>
#include <cstring>

#include "format/json/json.hpp"
#include "format/sink.hpp"

namespace kelvane::format::json {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

constexpr std::uint8_t kQuote = '"';

// The keys of the metadata, as views into it: at most the stated count, and
// only those whose bytes are all there.
std::vector<ByteSpan> read_keys(ByteSpan metadata) {
  std::vector<ByteSpan> keys;
  if (metadata.size() < 5) return keys;
  kvn::ByteReader reader(metadata.subspan(1));
  std::uint16_t count = 0;
  if (!reader.read_u16(count)) return keys;
  keys.reserve(std::min<std::size_t>(count, reader.remaining() / 2));
  for (std::uint16_t i = 0; i < count; ++i) {
    std::uint16_t length = 0;
    ByteSpan key;
    if (!reader.read_u16(length) || !reader.read_bytes(length, key)) break;
    keys.push_back(key);
  }
  return keys;
}

template <class Sink>
void put_key(Sink& sink, ByteSpan key) {
  sink.put(kQuote);
  sink.put(key);
  sink.put(kQuote);
}

template <class Sink>
void expand(ByteSpan data, const std::vector<ByteSpan>& keys, Sink& sink) {
  const std::uint8_t* const begin = data.data();
  const std::size_t size = data.size();
  std::size_t i = 0;
  while (i < size && !sink.exceeded()) {
    if (begin[i] != kTokenStart) {
      const auto* zero = static_cast<const std::uint8_t*>(std::memchr(begin + i, kTokenStart, size - i));
      const std::size_t stop = zero ? static_cast<std::size_t>(zero - begin) : size;
      sink.put(data.subspan(i, stop - i));
      i = stop;
      continue;
    }
    if (i + 1 == size) return;  // a trailing 0x00 is dropped
    const std::uint8_t tag = begin[i + 1];
    if (tag == kLiteralZero) {
      sink.put(kTokenStart);
      i += 2;
    } else if (tag == kWideToken) {
      if (size - i < 4) {  // cut: the two bytes go, the rest is ordinary data
        i += 2;
        continue;
      }
      const std::uint16_t index = kvn::load_u16_le(begin + i + 2);
      if (index < keys.size()) put_key(sink, keys[index]);
      i += 4;
    } else {
      if (tag < kShortTokenKeys && tag < keys.size()) put_key(sink, keys[tag]);
      i += 2;
    }
  }
}

}  // namespace

Bytes reverse(ByteSpan data, ByteSpan metadata, Budget budget) {
  const std::vector<ByteSpan> keys = read_keys(metadata);
  auto out = write_within_budget(budget, [&](auto& sink) { expand(data, keys, sink); });
  if (!out) return budget.copy_of(data);
  return std::move(*out);
}

}  // namespace kelvane::format::json
