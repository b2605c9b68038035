// The nesting step after a Uniform layout: columns of nested objects are
// flattened into sub-columns, and the flattening is kept only when it comes
// back exactly and its infos can be stored without reducing any width.
#include <algorithm>
#include <cstring>

#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "format/scan.hpp"

namespace kelvane::format::ndjson {

void apply_nesting_step(Layout& layout, std::uint32_t row_count) {
  auto flat = flatten_nested_columns(layout.text, row_count);
  if (flat && nested_infos_fit_byte_form(flat->infos)) {
    const std::uint64_t columns = format::count_byte(flat->text, COLUMN_SEPARATOR) + 1;
    // A flat text of more than 65,535 columns cannot be described; the
    // reduced count makes the round trip below fail.
    const kvn::Bytes back = unflatten_nested_columns(flat->text, flat->infos, row_count,
                                                     static_cast<std::uint16_t>(columns),
                                                     layout.text.size());
    if (columns <= 0xFFFF && back.size() == layout.text.size() &&
        std::equal(back.begin(), back.end(), layout.text.begin())) {
      kvn::append_bytes(layout.metadata, serialize_nested_info(flat->infos));
      layout.text = std::move(flat->text);
      return;
    }
  }
  layout.metadata.push_back(0x00);
}

}  // namespace kelvane::format::ndjson
