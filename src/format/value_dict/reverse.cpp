// The value dictionary's reverse step. The walk runs twice, counting and
// then writing (sink.hpp): entries can be long, so the output is sized from
// the walk itself and never from the data's size.
#include <cstring>

#include "format/sink.hpp"
#include "format/value_dict/value_dict.hpp"

namespace kelvane::format::value_dict {
namespace {

using kvn::Bytes;
using kvn::ByteSpan;

// A dictionary column: each one-byte value is a code (a code past the
// dictionary gives nothing); every other value is copied as it stands.
template <class Sink>
void decode_column(ByteSpan column, std::span<const ByteSpan> dictionary, Sink& sink) {
  const std::uint8_t* p = column.data();
  const std::uint8_t* const end = p + column.size();
  const std::uint8_t* value = p;
  for (;; ++p) {
    if (p != end && *p != VALUE_SEPARATOR) continue;
    const auto length = static_cast<std::size_t>(p - value);
    if (length == 1) {
      // Separators aside, a one-byte value is at least kFirstCode.
      const std::size_t index = static_cast<std::size_t>(*value - kFirstCode);
      if (index < dictionary.size()) sink.put(dictionary[index]);
    } else {
      sink.put(ByteSpan(value, length));
    }
    if (p == end) return;
    sink.put(VALUE_SEPARATOR);
    value = p + 1;
  }
}

// Each pass reads the columns' dictionaries again, one column at a time.
template <class Sink>
void rebuild(ByteSpan data, StoredColumns columns, Sink& sink) {
  const std::size_t count = columns.count();
  std::vector<ByteSpan> dictionary;
  dictionary.reserve(kMaxEntries);
  const std::uint8_t* p = data.data();
  const std::uint8_t* const end = p + data.size();
  for (std::size_t k = 0; k < count && !sink.exceeded(); ++k) {
    const auto* sep = p == end ? nullptr
                               : static_cast<const std::uint8_t*>(std::memchr(
                                     p, COLUMN_SEPARATOR, static_cast<std::size_t>(end - p)));
    const std::uint8_t* stop = sep ? sep : end;
    const ByteSpan column(p, static_cast<std::size_t>(stop - p));
    bool verbatim = false;
    (void)columns.next(verbatim, &dictionary);  // every column was checked
    if (verbatim) {
      sink.put(column);
    } else {
      decode_column(column, dictionary, sink);
    }
    if (k + 1 < count) sink.put(COLUMN_SEPARATOR);
    if (sep == nullptr) return;  // no data column left
    p = stop + 1;
  }
}

}  // namespace

Bytes reverse(ByteSpan data, ByteSpan metadata, Budget budget) {
  const auto columns = StoredColumns::open(metadata);
  if (!columns) return budget.copy_of(data);
  auto out = write_within_budget(budget, [&](auto& sink) { rebuild(data, *columns, sink); });
  if (!out) return budget.copy_of(data);
  return std::move(*out);
}

}  // namespace kelvane::format::value_dict
