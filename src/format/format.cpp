// The transform pipeline. Forward: the columnar layout that fits the hint
// (JSON array or NDJSON), the nested flattening after a uniform JSON array
// layout, then the typed column stream ("fast" only) and the value
// dictionary; the key dictionary when no columnar layout fits ("max" and
// "balanced" only). Reverse: the records undone last to first.
//
// Budgets: the reverse of each record may give back at most as many bytes
// as its forward could have been handed. The first record's forward read
// the original input, so its reverse gets the container's declared size;
// every later record gets the most that the records before it can write
// from that (reverse_budgets). Intermediate texts may thus be longer than
// the input (a flat text fills absent keys with `null`) while no step of a
// forged chain can grow without bound.
#include "format/format.hpp"

#include <algorithm>
#include <optional>

#include "format/json/json.hpp"
#include "format/json_array/json_array.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "format/scan.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "format/value_dict/value_dict.hpp"
#include "kvn/container.hpp"

namespace kelvane::format {
namespace {

using transform::TransformKind;
using transform::TransformRecord;

struct Stage {
  kvn::Bytes text;
  kvn::Bytes metadata;
};

template <class L>
std::optional<Stage> as_stage(std::optional<L> layout) {
  if (!layout) return std::nullopt;
  return Stage{std::move(layout->text), std::move(layout->metadata)};
}

std::optional<Stage> typed_column_stream(kvn::ByteSpan text) {
  auto stream = typed_encoding::preprocess(text);
  if (!stream) return std::nullopt;
  return Stage{std::move(*stream), {}};
}

std::optional<Stage> key_dictionary(kvn::ByteSpan data) { return as_stage(json::preprocess(data)); }
std::optional<Stage> value_dictionary(kvn::ByteSpan data) {
  return as_stage(value_dict::preprocess(data));
}

bool is_uniform(const kvn::Bytes& metadata) {
  return !metadata.empty() &&
         metadata[0] == static_cast<std::uint8_t>(ndjson::ColumnarLayout::Uniform);
}

void append_record(transform::TransformChain& chain, TransformKind kind, kvn::Bytes metadata) {
  chain.records.push_back(TransformRecord{static_cast<std::uint8_t>(kind), std::move(metadata)});
}

// Flattens the nested-object columns of a uniform JSON array layout's text.
// Kept only when unflattening gives the text back exactly, the flat text has
// at most 65,535 columns and its infos fit their byte form.
std::optional<Stage> nested_flatten(kvn::ByteSpan text, std::uint32_t rows) {
  auto flat = ndjson::flatten_nested_columns(text, rows);
  if (!flat || !ndjson::nested_infos_fit_byte_form(flat->infos)) return std::nullopt;
  const auto columns = count_byte(flat->text, ndjson::COLUMN_SEPARATOR) + 1;
  if (columns > 0xFFFF) return std::nullopt;
  const kvn::Bytes back = ndjson::unflatten_nested_columns(
      flat->text, flat->infos, rows, static_cast<std::uint16_t>(columns), text.size());
  if (back.size() != text.size() || !std::equal(back.begin(), back.end(), text.begin())) {
    return std::nullopt;
  }
  Stage stage{std::move(flat->text), {}};
  const kvn::Bytes infos = ndjson::serialize_nested_info(flat->infos);
  stage.metadata.reserve(6 + infos.size());
  kvn::append_u32_le(stage.metadata, rows);
  kvn::append_u16_le(stage.metadata, static_cast<std::uint16_t>(columns));
  kvn::append_bytes(stage.metadata, infos);
  return stage;
}

// Undoes one kind-15 record; leaves `data` as it is when the metadata is
// shorter than 6 bytes or its nested info does not parse.
std::optional<kvn::Bytes> nested_unflatten(kvn::ByteSpan data, kvn::ByteSpan metadata,
                                           std::uint64_t budget) {
  if (metadata.size() < 6) return std::nullopt;
  const std::uint32_t rows = kvn::load_u32_le(metadata.data());
  const std::uint16_t columns = kvn::load_u16_le(metadata.data() + 4);
  auto infos = ndjson::deserialize_nested_info(metadata.subspan(6));
  if (!infos) return std::nullopt;
  return ndjson::unflatten_nested_columns(data, infos->infos, rows, columns, budget);
}

// A flat text is at most this many times as long as the text it flattens.
// Flattening keeps a column only while its keys x rows stay within the
// column's length; each (key, row) cell then holds a member value taken
// from the column (at most the column's length in all), or `null` (4
// bytes), and one separator.
constexpr std::uint64_t kFlatTextGrowth = 6;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? UINT64_MAX : product;
}

// The most bytes the forward of `kind` writes from at most `input` bytes.
std::uint64_t forward_output_bound(std::uint8_t kind, std::uint64_t input) noexcept {
  switch (static_cast<TransformKind>(kind)) {
    case TransformKind::Ndjson:  // the values column-major, then flattened inside the layout
    case TransformKind::NestedFlatten:
      return saturating_mul(input, kFlatTextGrowth);
    default:
      // The JSON array layout writes only values and separators; the typed
      // stream, the value and the key dictionary are kept only when shorter;
      // other kinds change nothing.
      return input;
  }
}

// budgets[i]: the most bytes the reverse of record i may give back.
// The forward flattens at most once in a chain (the NDJSON layout, or the
// nested flattening after the JSON array layout), so the bound grows once:
// a stored chain that repeats the growing kinds gets no more room than that,
// or each repeat would multiply what a later record may write.
std::vector<std::uint64_t> reverse_budgets(const transform::TransformChainView& chain,
                                           std::uint64_t output_budget) {
  std::vector<std::uint64_t> budgets;
  budgets.reserve(chain.records.size());
  std::uint64_t bound = output_budget;
  bool grown = false;
  for (const transform::TransformRecordView& record : chain.records) {
    budgets.push_back(bound);
    const std::uint64_t next = forward_output_bound(record.kind, bound);
    if (next != bound && !grown) {
      bound = next;
      grown = true;
    }
  }
  return budgets;
}

}  // namespace

Preprocessed preprocess(kvn::ByteSpan data, std::uint8_t hint, std::uint8_t mode) {
  const auto json = static_cast<std::uint8_t>(kvn::FormatHint::Json);
  const auto ndjson_hint = static_cast<std::uint8_t>(kvn::FormatHint::Ndjson);
  const bool fast = mode == static_cast<std::uint8_t>(kvn::CompressionMode::Fast);
  const bool context_mixing = mode == static_cast<std::uint8_t>(kvn::CompressionMode::Max) ||
                              mode == static_cast<std::uint8_t>(kvn::CompressionMode::Balanced);

  Preprocessed out;
  std::optional<Stage> layout;
  if (hint == json) {
    layout = as_stage(json_array::preprocess(data));
  } else if (hint == ndjson_hint) {
    layout = as_stage(ndjson::preprocess(data));
  }

  if (!layout) {
    // No columnar layout: the key dictionary, or the input as it is.
    if (context_mixing && (hint == json || hint == ndjson_hint)) {
      if (auto keyed = key_dictionary(data)) {
        append_record(out.chain, TransformKind::Json, std::move(keyed->metadata));
        out.data = std::move(keyed->text);
        return out;
      }
    }
    out.data.assign(data.begin(), data.end());
    return out;
  }

  const bool uniform = is_uniform(layout->metadata);
  std::uint32_t rows = 0;
  const bool array_rows = hint == json && uniform && layout->metadata.size() >= 5;
  if (array_rows) rows = kvn::load_u32_le(layout->metadata.data() + 1);
  append_record(out.chain, hint == json ? TransformKind::JsonArray : TransformKind::Ndjson,
                std::move(layout->metadata));
  out.data = std::move(layout->text);
  if (!uniform) return out;  // grouped and selective layouts end the chain

  if (array_rows) {
    if (auto flat = nested_flatten(out.data, rows)) {
      append_record(out.chain, TransformKind::NestedFlatten, std::move(flat->metadata));
      out.data = std::move(flat->text);
    }
  }

  const auto run = [&](std::optional<Stage> (*stage)(kvn::ByteSpan), TransformKind kind) {
    if (auto result = stage(out.data)) {
      append_record(out.chain, kind, std::move(result->metadata));
      out.data = std::move(result->text);
    }
  };
  if (fast) run(typed_column_stream, TransformKind::TypedEncoding);
  run(value_dictionary, TransformKind::ValueDict);
  return out;
}

kvn::Bytes reverse_preprocess(kvn::ByteSpan data, const transform::TransformChainView& chain,
                              std::uint64_t output_budget) {
  const std::vector<std::uint64_t> budgets = reverse_budgets(chain, output_budget);
  std::optional<kvn::Bytes> current;  // empty while `data` is unchanged
  for (std::size_t i = chain.records.size(); i-- > 0;) {
    const transform::TransformRecordView& record = chain.records[i];
    const std::uint64_t budget = budgets[i];
    const kvn::ByteSpan d = current ? kvn::ByteSpan(*current) : data;
    const kvn::ByteSpan metadata = record.metadata;
    switch (static_cast<TransformKind>(record.kind)) {
      case TransformKind::Ndjson:
        current = ndjson::reverse(d, metadata, budget);
        break;
      case TransformKind::JsonArray:
        current = json_array::reverse(d, metadata, budget);
        break;
      case TransformKind::ValueDict:
        current = value_dict::reverse(d, metadata, budget);
        break;
      case TransformKind::Json:
        current = json::reverse(d, metadata, budget);
        break;
      case TransformKind::NestedFlatten:
        if (auto back = nested_unflatten(d, metadata, budget)) current = std::move(back);
        break;
      case TransformKind::TypedEncoding:
        current = typed_encoding::reverse(d, budget);
        break;
      default:  // kinds not built yet, and unknown kinds: skipped
        break;
    }
    // A step that could not run gave its input back. When that is more than
    // the step may produce, no record before it can undo it either: the
    // data comes back as it was given, and the container's checks report it.
    const std::size_t size = current ? current->size() : data.size();
    if (size > budget) return kvn::Bytes(data.begin(), data.end());
  }
  if (current) return std::move(*current);
  return kvn::Bytes(data.begin(), data.end());
}

}  // namespace kelvane::format
