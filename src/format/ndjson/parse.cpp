// Cutting NDJSON lines into skeleton pieces and raw values. Every scan is a
// single forward pass with an explicit depth counter: no recursion, so deeply
// nested values cost nothing but their length.
#include <cstring>

#include "format/ndjson/ndjson.hpp"
#include "format/scan.hpp"

namespace kelvane::format::ndjson {
namespace {

// True when `value` holds a separator byte (0x00 or 0x01). Branch-free so
// the compiler can vectorise it.
bool holds_separator(kvn::ByteSpan value) noexcept {
  unsigned found = 0;
  for (const std::uint8_t b : value) found |= static_cast<unsigned>(b <= VALUE_SEPARATOR);
  return found != 0;
}

bool ends_scalar(std::uint8_t c) noexcept {
  return is_blank(c) || c == ',' || c == ']' || c == '}';
}

// `pos` is at the opening bracket `open`. Returns the index just past the
// matching `close`, counting only that bracket pair and skipping strings, or
// kStringNotClosed when the bytes end first.
std::size_t find_bracket_end(kvn::ByteSpan bytes, std::size_t pos, std::uint8_t open,
                             std::uint8_t close) noexcept {
  const std::uint8_t* const data = bytes.data();
  const std::size_t size = bytes.size();
  std::size_t depth = 1;
  ++pos;
  while (pos < size) {
    const std::uint8_t c = data[pos];
    if (c == '"') {
      pos = find_string_end(bytes, pos);
      if (pos == kStringNotClosed) return kStringNotClosed;
      continue;
    }
    if (c == open) {
      ++depth;
    } else if (c == close && --depth == 0) {
      return pos + 1;
    }
    ++pos;
  }
  return kStringNotClosed;
}

}  // namespace

std::optional<ExtractedValue> extract_value(kvn::ByteSpan bytes, std::size_t pos) {
  pos = skip_blanks(bytes, pos);
  if (pos >= bytes.size()) return std::nullopt;
  const std::uint8_t first = bytes[pos];
  std::size_t end = 0;
  if (first == '"') {
    end = find_string_end(bytes, pos);
  } else if (first == '[') {
    end = find_bracket_end(bytes, pos, '[', ']');
  } else if (first == '{') {
    end = find_bracket_end(bytes, pos, '{', '}');
  } else {
    if (first == ',' || first == ']' || first == '}') return std::nullopt;
    end = pos + 1;
    while (end < bytes.size() && !ends_scalar(bytes[end])) ++end;
  }
  if (end == kStringNotClosed) return std::nullopt;
  return ExtractedValue{bytes.subspan(pos, end - pos), end};
}

bool parse_line_into(kvn::ByteSpan line, ParsedLine& out) {
  out.pieces.clear();
  out.values.clear();
  const std::size_t size = line.size();
  std::size_t pos = skip_blanks(line, 0);
  if (pos >= size || line[pos] != '{' || pos + 1 == size) return false;
  ++pos;
  std::size_t piece_start = 0;
  bool holds_separator_byte = false;

  const auto close_object = [&](std::size_t last_piece_start) {
    out.pieces.push_back(line.subspan(last_piece_start));
  };

  for (;;) {
    // Expecting a key, or the closing brace.
    pos = skip_blanks(line, pos);
    if (pos >= size) return false;
    if (line[pos] == '}') {
      if (out.values.empty()) return false;
      close_object(piece_start);
      break;
    }
    if (line[pos] != '"') return false;
    pos = find_string_end(line, pos);
    if (pos == kStringNotClosed) return false;
    pos = skip_blanks(line, pos);
    if (pos >= size || line[pos] != ':') return false;
    pos = skip_blanks(line, pos + 1);
    out.pieces.push_back(line.subspan(piece_start, pos - piece_start));
    const auto value = extract_value(line, pos);
    if (!value) return false;
    out.values.push_back(value->value);
    holds_separator_byte = holds_separator_byte || holds_separator(value->value);
    pos = value->next;
    piece_start = pos;

    // After a value: a comma or the closing brace.
    pos = skip_blanks(line, pos);
    if (pos >= size) return false;
    if (line[pos] == '}') {
      close_object(piece_start);
      break;
    }
    if (line[pos] != ',' || pos + 1 == size) return false;
    ++pos;
  }

  if (holds_separator_byte || out.values.size() > kMaxValuesPerObject) return false;
  for (const auto& piece : out.pieces) {
    if (piece.size() > kMaxPieceLength) return false;
  }
  return true;
}

std::optional<ParsedLine> parse_line(kvn::ByteSpan line) {
  ParsedLine parsed;
  if (!parse_line_into(line, parsed)) return std::nullopt;
  return parsed;
}

}  // namespace kelvane::format::ndjson
