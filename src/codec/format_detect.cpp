// Format detection: JSON or NDJSON when the first non-blank byte opens an
// object or an array; NDJSON when more than 80 % of the non-blank lines
// start with '{' and there is more than one such line.
#include "codec/codec.hpp"
#include "kvn/blank.hpp"

namespace kelvane::codec {

kvn::FormatHint auto_detect_format(ByteSpan data) noexcept {
  std::size_t i = 0;
  while (i < data.size() && kvn::is_blank(data[i])) ++i;
  if (i == data.size() || (data[i] != '{' && data[i] != '[')) return kvn::FormatHint::Generic;

  std::uint64_t lines = 0;   // pieces holding something other than blanks
  std::uint64_t objects = 0;  // of those, pieces whose first non-blank byte is '{'
  std::size_t pos = 0;
  for (;;) {
    while (pos < data.size() && data[pos] != '\n' && kvn::is_blank(data[pos])) ++pos;
    if (pos < data.size() && data[pos] != '\n') {
      ++lines;
      if (data[pos] == '{') ++objects;
      while (pos < data.size() && data[pos] != '\n') ++pos;
    }
    if (pos == data.size()) break;
    ++pos;  // past the line feed; the piece after the last one counts too
  }
  const bool ndjson = lines > 1 && static_cast<double>(objects) / static_cast<double>(lines) > 0.8;
  return ndjson ? kvn::FormatHint::Ndjson : kvn::FormatHint::Json;
}

}  // namespace kelvane::codec
