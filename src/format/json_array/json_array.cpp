// JSON array detection, element parsing and the Uniform layout.
#include "format/json_array/json_array.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "format/json_array/stored_list.hpp"
#include "format/scan.hpp"

namespace kelvane::format::json_array {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;
using ndjson::COLUMN_SEPARATOR;
using ndjson::VALUE_SEPARATOR;

constexpr std::size_t kNotFound = kStringNotClosed;
constexpr std::size_t kMinElements = 5;
constexpr std::size_t kMaxSeparatorLength = 65535;
constexpr std::uint64_t kMaxInput = std::uint64_t{1} << 32;

// The open objects and arrays of a scan, innermost last, stored as runs of
// one kind so that deep nesting of a single kind costs no memory and a few
// alternations cost no allocation.
class FrameStack {
 public:
  explicit FrameStack(bool array) noexcept : top_is_array_(array), top_count_(1) {}
  bool empty() const noexcept { return top_count_ == 0; }
  bool top_is_array() const noexcept { return top_is_array_; }
  void push(bool array) {
    if (array == top_is_array_ || top_count_ == 0) {
      top_is_array_ = array;
      ++top_count_;
      return;
    }
    if (runs_ < local_.size()) {
      local_[runs_] = top_count_;
    } else {
      spill_.push_back(top_count_);
    }
    ++runs_;
    top_is_array_ = array;
    top_count_ = 1;
  }
  void pop() noexcept {
    if (--top_count_ != 0 || runs_ == 0) return;
    --runs_;
    if (runs_ < local_.size()) {
      top_count_ = local_[runs_];
    } else {
      top_count_ = spill_.back();
      spill_.pop_back();
    }
    top_is_array_ = !top_is_array_;
  }

 private:
  bool top_is_array_;
  std::size_t top_count_;
  std::size_t runs_ = 0;
  std::array<std::size_t, 16> local_;  // written before read
  std::vector<std::size_t> spill_;
};

// Scans the inside of an object or array that opened just before `i`: inside
// an object only braces count, inside an array only brackets, and each inner
// '{' or '[' opens its own frame. Returns the position just past the closer
// of the outermost frame, bytes.size() when the bytes end first, or
// kNotFound on an unclosed string.
std::size_t scan_nested(ByteSpan b, std::size_t i, bool array) {
  FrameStack frames(array);
  const std::size_t len = b.size();
  while (i < len) {
    const std::uint8_t c = b[i];
    switch (c) {
      case '"':
        i = find_string_end(b, i);
        if (i == kNotFound) return kNotFound;
        continue;
      case '{':
        frames.push(false);
        break;
      case '[':
        frames.push(true);
        break;
      case '}':
        if (!frames.top_is_array()) frames.pop();
        break;
      case ']':
        if (frames.top_is_array()) frames.pop();
        break;
      default:
        break;
    }
    ++i;
    if (frames.empty()) return i;
  }
  return len;
}

bool is_scalar_stop(std::uint8_t c) noexcept {
  return is_blank(c) || c == ',' || c == ']' || c == '}';
}

bool holds_separator_byte(ByteSpan v) noexcept {
  for (const std::uint8_t c : v) {
    if (c <= VALUE_SEPARATOR) return true;
  }
  return false;
}

// End of the member value starting at v (exclusive), or kNotFound.
std::size_t value_end(ByteSpan s, std::size_t v) {
  const std::uint8_t c = s[v];
  if (c == '"') return find_string_end(s, v);
  if (c == '[') return scan_nested(s, v + 1, true);
  if (c == '{') return scan_nested(s, v + 1, false);
  std::size_t i = v;
  while (i < s.size() && !is_scalar_stop(s[i])) ++i;
  return i == v ? kNotFound : i;
}

// One '{' met by the structure scan: where its object ends (skip_object's
// answer), and whether it opens the first element of a candidate array.
struct ObjectStart {
  std::uint32_t pos;
  std::uint32_t end;
  bool first_element;
};

// One linear pass that measures every object that can be an array element
// (a '{' whose previous non-blank byte is '[' or ','). Measuring each
// candidate element on its own would rescan nested arrays once per level.
// False on an unclosed string.
bool measure_element_objects(ByteSpan b, std::vector<ObjectStart>& starts) {
  // Open frames, innermost last: bit 31 marks an array; otherwise the low
  // bits hold 1 + the index into `starts`, or 0 for an unrecorded object.
  constexpr std::uint32_t kArrayFrame = 0x80000000u;
  std::vector<std::uint32_t> frames;
  const std::size_t len = b.size();
  std::uint8_t last = 0;
  for (std::size_t i = 0; i < len; ++i) {
    const std::uint8_t c = b[i];
    switch (c) {
      case '"':
        i = find_string_end(b, i);
        if (i == kNotFound) return false;
        last = '"';
        --i;
        continue;
      case '{': {
        std::uint32_t frame = 0;
        if (last == '[' || last == ',') {
          starts.push_back(
              {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(len), last == '['});
          frame = static_cast<std::uint32_t>(starts.size());
        }
        frames.push_back(frame);
        break;
      }
      case '[':
        frames.push_back(kArrayFrame);
        break;
      case '}':
        if (!frames.empty() && frames.back() != kArrayFrame) {
          if (frames.back() != 0) starts[frames.back() - 1].end = static_cast<std::uint32_t>(i + 1);
          frames.pop_back();
        }
        break;
      case ']':
        if (!frames.empty() && frames.back() == kArrayFrame) frames.pop_back();
        break;
      default:
        break;
    }
    if (!is_blank(c)) last = c;
  }
  return true;
}

const ObjectStart* find_start(const std::vector<ObjectStart>& starts, std::size_t pos) {
  auto it = std::lower_bound(starts.begin(), starts.end(), pos,
                             [](const ObjectStart& s, std::size_t p) { return s.pos < p; });
  return it != starts.end() && it->pos == pos ? &*it : nullptr;
}

// Walks the array whose first element opens at `q`; false drops it.
bool walk_candidate(ByteSpan b, const std::vector<ObjectStart>& starts, std::size_t q,
                    std::vector<ElementSpan>& elements) {
  elements.clear();
  const std::size_t len = b.size();
  std::size_t p = q;
  for (;;) {
    const ObjectStart* start = find_start(starts, p);
    if (start == nullptr) return false;
    const std::size_t end = start->end;
    elements.push_back({p, end});
    if (end >= len) return false;
    const std::size_t k = skip_blanks(b, end);
    if (k >= len) return false;
    if (b[k] == ']') return true;
    if (b[k] != ',') return false;
    const std::size_t s = skip_blanks(b, k + 1);
    if (s >= len || b[s] != '{') return false;
    p = s;
  }
}

void put_u16(Bytes& out, std::size_t v) { kvn::append_u16_le(out, static_cast<std::uint16_t>(v)); }
void put_u32(Bytes& out, std::size_t v) { kvn::append_u32_le(out, static_cast<std::uint32_t>(v)); }

// Advances through the 0x01-separated values of one column.
using ColumnCursor = format::ValueCursor;

bool add_checked(std::uint64_t& total, std::uint64_t n) noexcept {
  return !__builtin_add_overflow(total, n, &total);
}
bool mul_checked(std::uint64_t a, std::uint64_t b, std::uint64_t& out) noexcept {
  return !__builtin_mul_overflow(a, b, &out);
}

Bytes reverse_uniform(ByteSpan t, ByteSpan m, Budget budget) {
  auto unchanged = [&] { return budget.copy_of(t); };
  kvn::ByteReader r(m);
  std::uint8_t layout = 0;
  std::uint32_t n = 0;
  std::uint16_t c = 0;
  if (!r.read_u8(layout) || !r.read_u32(n) || !r.read_u16(c) || n == 0 || c == 0)
    return unchanged();
  std::uint32_t prefix_len = 0;
  std::uint32_t suffix_len = 0;
  ByteSpan prefix;
  ByteSpan suffix;
  if (!r.read_u32(prefix_len) || !r.read_bytes(prefix_len, prefix)) return unchanged();
  if (!r.read_u32(suffix_len) || !r.read_bytes(suffix_len, suffix)) return unchanged();
  std::uint16_t piece_count = 0;
  if (!r.read_u16(piece_count) || piece_count == 0 || piece_count != std::uint32_t{c} + 1)
    return unchanged();
  if (!r.has(std::uint64_t{2} * piece_count)) return unchanged();
  std::vector<ByteSpan> pieces(piece_count);
  std::uint64_t pieces_total = 0;
  for (ByteSpan& piece : pieces) {
    std::uint16_t len = 0;
    if (!r.read_u16(len) || !r.read_bytes(len, piece)) return unchanged();
    pieces_total += len;
  }
  std::uint8_t mode = 0;
  if (!r.read_u8(mode)) return unchanged();
  // A text of n rows holds at least n - 1 value separators.
  if (n > t.size() + std::uint64_t{1}) return unchanged();
  const std::uint64_t gaps = n - 1;
  ByteSpan one_separator;   // any mode but 0: the one between every two rows
  ByteSpan separator_list;  // mode 0: the n - 1 separators as stored
  std::uint64_t separators_total = 0;
  if (mode != 0) {
    std::uint16_t len = 0;
    if (!r.read_u16(len) || !r.read_bytes(len, one_separator)) return unchanged();
    separators_total = gaps * len;
  } else if (!read_stored_list(r, gaps, separators_total, separator_list)) {
    return unchanged();
  }

  // Columns and their value counts.
  if (count_byte(t, COLUMN_SEPARATOR) != std::uint64_t{c} - 1) return unchanged();
  std::vector<ColumnCursor> columns;
  columns.reserve(c);
  const std::uint8_t* p = t.data();
  const std::uint8_t* const end = p + t.size();
  for (std::uint16_t k = 0; k < c; ++k) {
    const auto* hit = static_cast<const std::uint8_t*>(
        p == end ? nullptr : std::memchr(p, COLUMN_SEPARATOR, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = hit == nullptr ? end : hit;
    if (count_byte(ByteSpan(p, stop), VALUE_SEPARATOR) != gaps) return unchanged();
    columns.push_back({p, stop});
    p = hit == nullptr ? end : hit + 1;
  }

  // Exact output size, checked against the budget before anything is reserved.
  const std::uint64_t values_total = t.size() - (std::uint64_t{c} - 1) - std::uint64_t{c} * gaps;
  std::uint64_t total = 0;
  std::uint64_t skeletons = 0;
  if (!mul_checked(n, pieces_total, skeletons) || !add_checked(total, skeletons) ||
      !add_checked(total, values_total) || !add_checked(total, separators_total) ||
      !add_checked(total, prefix.size()) || !add_checked(total, suffix.size()) ||
      total > budget.output()) {
    return unchanged();
  }
  if (!budget.take(total)) return {};

  Bytes out;
  out.reserve(static_cast<std::size_t>(total));
  auto put = [&out](ByteSpan s) { out.insert(out.end(), s.begin(), s.end()); };
  put(prefix);
  StoredListCursor separators(separator_list);
  for (std::uint32_t row = 0; row < n; ++row) {
    put(pieces[0]);
    for (std::uint16_t k = 0; k < c; ++k) {
      put(columns[k].next());
      put(pieces[k + 1]);
    }
    if (row + 1 == n) break;
    ByteSpan separator = one_separator;
    if (mode == 0) separators.next(separator);  // one for each row but the last
    put(separator);
  }
  put(suffix);
  return out;
}

}  // namespace

SkipResult skip_object(ByteSpan bytes, std::size_t pos) {
  if (pos >= bytes.size() || bytes[pos] != '{') return {};
  const std::size_t end = scan_nested(bytes, pos + 1, false);
  if (end == kNotFound) return {};
  return {true, end};
}

bool parse_element_into(ByteSpan s, ParsedElement& out) {
  out.pieces.clear();
  out.values.clear();
  const std::size_t m = s.size();
  std::size_t i = skip_blanks(s, 0);
  if (i >= m || s[i] != '{' || i + 1 == m) return false;
  ++i;
  std::size_t piece_start = 0;
  for (;;) {
    // Expecting a key, or the closing brace.
    i = skip_blanks(s, i);
    if (i >= m) return false;
    if (s[i] == '}') {
      if (out.values.empty()) return false;
      break;
    }
    if (s[i] != '"') return false;
    const std::size_t close = find_string_end(s, i);
    if (close == kNotFound) return false;
    i = skip_blanks(s, close);
    if (i >= m || s[i] != ':') return false;
    const std::size_t v = skip_blanks(s, i + 1);
    if (v >= m) return false;
    const std::size_t end = value_end(s, v);
    if (end == kNotFound || end >= m) return false;
    if (v - piece_start > ndjson::kMaxPieceLength) return false;
    const ByteSpan value = s.subspan(v, end - v);
    if (holds_separator_byte(value)) return false;
    if (out.values.size() == ndjson::kMaxValuesPerObject) return false;
    out.pieces.push_back(s.subspan(piece_start, v - piece_start));
    out.values.push_back(value);
    piece_start = end;
    // After a value.
    i = skip_blanks(s, end);
    if (i >= m) return false;
    if (s[i] == '}') break;
    if (s[i] != ',' || i + 1 == m) return false;
    ++i;
  }
  if (m - piece_start > ndjson::kMaxPieceLength) return false;
  out.pieces.push_back(s.subspan(piece_start));
  return true;
}

std::optional<ParsedElement> parse_element(ByteSpan element) {
  ParsedElement out;
  if (!parse_element_into(element, out)) return std::nullopt;
  return out;
}

std::optional<ArraySpan> find_array(ByteSpan input) {
  if (input.empty() || input.size() >= kMaxInput) return std::nullopt;
  std::vector<ObjectStart> starts;
  if (!measure_element_objects(input, starts)) return std::nullopt;

  std::vector<ElementSpan> best;
  std::vector<ElementSpan> candidate;
  for (const ObjectStart& start : starts) {
    if (!start.first_element) continue;
    if (!walk_candidate(input, starts, start.pos, candidate)) continue;
    if (candidate.size() >= kMinElements && candidate.size() > best.size()) best.swap(candidate);
  }
  if (best.empty()) return std::nullopt;

  ArraySpan span;
  span.separators.reserve(best.size() - 1);
  for (std::size_t i = 0; i + 1 < best.size(); ++i) {
    span.separators.push_back(input.subspan(best[i].end, best[i + 1].start - best[i].end));
  }
  span.element_count = best.size();
  span.elements = std::move(best);
  return span;
}

std::optional<Layout> preprocess(ByteSpan input) {
  auto found = find_array(input);
  if (!found) return std::nullopt;
  const ArraySpan& span = *found;
  for (const ByteSpan sep : span.separators) {
    if (sep.size() > kMaxSeparatorLength) return std::nullopt;
  }
  const std::size_t n = span.element_count;
  auto element = [&](std::size_t i) {
    return input.subspan(span.elements[i].start, span.elements[i].end - span.elements[i].start);
  };

  // Uniform test: every element parses into the skeleton of element 0.
  ParsedElement first;
  if (!parse_element_into(element(0), first)) return preprocess_grouped(input, span);
  const std::size_t c = first.values.size();
  // Every value takes at least one byte of the input: more values than bytes
  // cannot all be there, and must not size the reservation below.
  if (static_cast<std::uint64_t>(n) * c > input.size()) return preprocess_grouped(input, span);
  std::vector<ByteSpan> values;  // row-major, n x c
  values.reserve(n * c);
  values.insert(values.end(), first.values.begin(), first.values.end());
  std::uint64_t values_total = 0;
  for (const ByteSpan v : first.values) values_total += v.size();
  ParsedElement row;
  for (std::size_t i = 1; i < n; ++i) {
    if (!parse_element_into(element(i), row) || row.values.size() != c)
      return preprocess_grouped(input, span);
    for (std::size_t k = 0; k <= c; ++k) {
      const ByteSpan a = row.pieces[k];
      const ByteSpan b = first.pieces[k];
      if (a.size() != b.size() || std::memcmp(a.data(), b.data(), a.size()) != 0) {
        return preprocess_grouped(input, span);
      }
    }
    for (const ByteSpan v : row.values) values_total += v.size();
    values.insert(values.end(), row.values.begin(), row.values.end());
  }

  // Sizes first, so a layout that is not smaller is never written.
  const ByteSpan prefix = input.first(span.elements.front().start);
  const ByteSpan suffix = input.subspan(span.elements.back().end);
  bool one_separator = true;
  for (std::size_t i = 1; i < span.separators.size() && one_separator; ++i) {
    const ByteSpan a = span.separators[i];
    const ByteSpan b = span.separators[0];
    one_separator = a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
  }
  const std::uint64_t text_size = values_total + (c - 1) + std::uint64_t{c} * (n - 1);
  std::uint64_t metadata_size = 1 + 4 + 2 + 4 + prefix.size() + 4 + suffix.size() + 2 + 1;
  for (const ByteSpan piece : first.pieces) metadata_size += 2 + piece.size();
  if (one_separator) {
    metadata_size += 2 + span.separators[0].size();
  } else {
    for (const ByteSpan sep : span.separators) metadata_size += 2 + sep.size();
  }
  if (text_size + metadata_size >= input.size()) return preprocess_grouped(input, span);

  Layout layout;
  Bytes& text = layout.text;
  text.reserve(static_cast<std::size_t>(text_size));
  for (std::size_t k = 0; k < c; ++k) {
    if (k > 0) text.push_back(COLUMN_SEPARATOR);
    for (std::size_t r = 0; r < n; ++r) {
      if (r > 0) text.push_back(VALUE_SEPARATOR);
      const ByteSpan v = values[r * c + k];
      text.insert(text.end(), v.begin(), v.end());
    }
  }

  Bytes& meta = layout.metadata;
  meta.reserve(static_cast<std::size_t>(metadata_size));
  meta.push_back(static_cast<std::uint8_t>(ndjson::ColumnarLayout::Uniform));
  put_u32(meta, n);
  put_u16(meta, c);
  put_u32(meta, prefix.size());
  kvn::append_bytes(meta, prefix);
  put_u32(meta, suffix.size());
  kvn::append_bytes(meta, suffix);
  put_u16(meta, first.pieces.size());
  for (const ByteSpan piece : first.pieces) {
    put_u16(meta, piece.size());
    kvn::append_bytes(meta, piece);
  }
  meta.push_back(one_separator ? 1 : 0);
  for (const ByteSpan sep : span.separators) {
    put_u16(meta, sep.size());
    kvn::append_bytes(meta, sep);
    if (one_separator) break;
  }
  return layout;
}

Bytes reverse(ByteSpan text, ByteSpan metadata, Budget budget) {
  if (!metadata.empty() &&
      metadata[0] == static_cast<std::uint8_t>(ndjson::ColumnarLayout::Uniform)) {
    return reverse_uniform(text, metadata, budget);
  }
  if (!metadata.empty() &&
      metadata[0] == static_cast<std::uint8_t>(ndjson::ColumnarLayout::Grouped)) {
    return reverse_grouped(text, metadata, budget);
  }
  return budget.copy_of(text);  // any other layout is not ours
}

}  // namespace kelvane::format::json_array
