// The JSON array columnar transform: a document holding an array of objects
// of one shape is rewritten column-major (ColumnarText of the element
// values); everything around the array (the bytes before its first element,
// after its last, and the separators between elements) travels verbatim in
// the metadata, so the reverse rebuilds the document byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "kvn/bytes.hpp"

namespace kelvane::format::json_array {

// The chosen array: one span per element (from its '{' to just past its
// closing '}') and the n - 1 separators between them, as views into the input.
struct ElementSpan {
  std::size_t start = 0;
  std::size_t end = 0;  // exclusive
};
struct ArraySpan {
  std::vector<ElementSpan> elements;
  std::vector<kvn::ByteSpan> separators;
  std::size_t element_count = 0;
};

struct SkipResult {
  bool found = false;
  std::size_t end = 0;
};

// Measures the object that starts at `pos`: the position just past the '}'
// that closes it, with inner objects counted by braces and inner arrays by
// brackets (strings skipped). An object or array left open at the end counts
// as found with end = bytes.size(); only an unclosed string, or no '{' at
// `pos`, is not found. Iterative and linear in the bytes it passes.
SkipResult skip_object(kvn::ByteSpan bytes, std::size_t pos);

// One element cut into its skeleton and raw values (values.size() + 1
// pieces), as a line of the NDJSON transform is.
using ParsedElement = ndjson::ParsedLine;

// Nothing unless the element is a flat object with quoted keys and at least
// one value, within the layout's limits (at most 65,534 values, pieces of at
// most 65,535 bytes, no value holding 0x00 or 0x01).
std::optional<ParsedElement> parse_element(kvn::ByteSpan element);
// The same into reused storage; false where the above gives nothing.
bool parse_element_into(kvn::ByteSpan element, ParsedElement& out);

struct Layout {
  kvn::Bytes text;
  kvn::Bytes metadata;
};

// Finds the array of at least 5 objects to transform (the one with the most
// elements, the earliest on ties). Nothing when there is none or the input
// holds an unclosed string.
std::optional<ArraySpan> find_array(kvn::ByteSpan input);

// Forward transform: nothing (declined) or the text and the metadata, whose
// first byte is the ColumnarLayout.
std::optional<Layout> preprocess(kvn::ByteSpan input);

// The Grouped layout, for arrays whose elements differ in shape (or whose
// Uniform layout is not smaller): elements of one skeleton form a group
// when there are at least 3 of them, written column-major, with their
// object-valued columns flattened when that is smaller and comes back
// exactly; other elements stay raw as residual elements. Nothing when no
// group forms, more than 65,535 would, a residual element holds 0x00, or
// the result is not smaller than the input.
std::optional<Layout> preprocess_grouped(kvn::ByteSpan input, const ArraySpan& span);

// The Grouped layout as preprocess_grouped builds it, but given only while
// its text and metadata stay below `size_limit` bytes (preprocess_grouped's
// limit is the input's length).
std::optional<Layout> build_grouped(kvn::ByteSpan input, const ArraySpan& span,
                                    std::uint64_t size_limit);

// Rebuilds a group's plain text from its nested text (w columns of k
// values), its missing keys marked by the AbsentMarker. Never fails: a
// copy of `nested` when the arguments do not fit it or the plain text would
// exceed `budget` bytes.
kvn::Bytes unflatten_group_nested(kvn::ByteSpan nested, const ndjson::StoredNestedInfos& infos,
                                  std::uint32_t members, std::uint16_t w, Budget budget);
// The same from infos in hand, through their byte form.
kvn::Bytes unflatten_group_nested(kvn::ByteSpan nested,
                                  std::span<const ndjson::NestedGroupInfo> infos,
                                  std::uint32_t members, std::uint16_t w, Budget budget);

// The Grouped branch of reverse (metadata starting with 2).
kvn::Bytes reverse_grouped(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget);

// Reverse transform. Never fails: metadata it cannot use, a text that does
// not match it, or a rebuilt document longer than `budget` bytes gives back
// a copy of `text`.
kvn::Bytes reverse(kvn::ByteSpan text, kvn::ByteSpan metadata, Budget budget);

}  // namespace kelvane::format::json_array
