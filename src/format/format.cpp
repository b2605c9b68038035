// The transform pipeline. Forward: the columnar layout that fits the hint
// (JSON array or NDJSON), the nested flattening after a uniform JSON array
// layout, then the typed column stream ("fast" only) and the value
// dictionary; the key dictionary when no columnar layout fits ("max" and
// "balanced" only). Reverse: the records undone last to first.
//
// Budgets: the reverse of each record may give back at most as many bytes
// as its forward could have been handed. The first record's forward read
// the original input, so its reverse gets the container's declared size;
// later records get the same, except after a flattening record, whose flat
// text may be longer by what its declared sub-columns can add
// (reverse_budgets). All the steps of a chain together write at most
// kChainWorkPerBudget times the budget of the text they start from
// (budget.hpp), however many records it holds. So a decompress costs time
// and memory in proportion to the declared size, whatever the container
// holds.
#include "format/format.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "format/budget.hpp"
#include "format/json/json.hpp"
#include "format/json_array/json_array.hpp"
#include "format/ndjson/ndjson.hpp"
#include "format/ndjson/nested.hpp"
#include "format/scan.hpp"
#include "format/typed_encoding/typed_encoding.hpp"
#include "format/value_dict/value_dict.hpp"
#include "kvn/container.hpp"
#include "kvn/saturating.hpp"

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

// The kind-15 metadata: rows (u32), columns (u16), then the nested info.
struct NestedFlattenRecord {
  std::uint32_t rows = 0;
  std::uint16_t columns = 0;
  ndjson::DeserializedNestedInfo infos;
};

// Nothing when the metadata is shorter than 6 bytes or its nested info does
// not parse; the count of bytes the info used is not checked.
std::optional<NestedFlattenRecord> read_nested_flatten(kvn::ByteSpan metadata) {
  if (metadata.size() < 6) return std::nullopt;
  auto infos = ndjson::deserialize_nested_info(metadata.subspan(6));
  if (!infos) return std::nullopt;
  return NestedFlattenRecord{kvn::load_u32_le(metadata.data()),
                             kvn::load_u16_le(metadata.data() + 4), std::move(*infos)};
}

// Undoes one kind-15 record; leaves `data` as it is when its metadata does
// not read.
std::optional<kvn::Bytes> nested_unflatten(kvn::ByteSpan data, kvn::ByteSpan metadata,
                                           Budget budget) {
  const auto record = read_nested_flatten(metadata);
  if (!record) return std::nullopt;
  return ndjson::unflatten_nested_columns(data, record->infos.infos, record->rows,
                                          record->columns, budget);
}

// The sub-column cells a record's nested infos declare: those of the NDJSON
// layout's nested blocks, or of a kind-15 record; 0 for every other kind.
std::uint64_t declared_cells(const transform::TransformRecordView& record) {
  switch (static_cast<TransformKind>(record.kind)) {
    case TransformKind::Ndjson:
      return ndjson::declared_nested_cells(record.metadata);
    case TransformKind::NestedFlatten:
      if (const auto nested = read_nested_flatten(record.metadata)) {
        return ndjson::nested_cells(nested->infos.infos, nested->rows);
      }
      return 0;
    default:
      // The JSON array layouts write only values and separators (a grouped
      // array keeps a nesting only when it is shorter); the typed stream,
      // the value and the key dictionary are kept only when shorter.
      return 0;
  }
}

}  // namespace

std::uint64_t max_chain_budget(std::uint64_t original_size) noexcept {
  return kvn::saturating_mul(original_size, kMaxFlatGrowth);
}

ReverseBudgets reverse_budgets(const transform::TransformChainView& chain,
                               std::uint64_t original_size) {
  ReverseBudgets budgets;
  budgets.outputs.reserve(chain.records.size());
  std::uint64_t bound = original_size;
  bool grown = false;
  for (const transform::TransformRecordView& record : chain.records) {
    budgets.outputs.push_back(bound);
    // A forward flattens at most once in a chain; a stored chain that
    // repeats the flattening kinds gets no more room than one flattening.
    if (grown) continue;
    const std::uint64_t cells = declared_cells(record);
    if (cells == 0) continue;
    const std::uint64_t grown_bound =
        kvn::saturating_add(bound, kvn::saturating_mul(cells, ndjson::kAbsentCellBytes));
    bound = std::min(grown_bound, max_chain_budget(original_size));
    grown = true;
  }
  budgets.stream = bound;
  return budgets;
}

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

kvn::Result<kvn::Bytes> reverse_preprocess(kvn::Bytes data,
                                           const transform::TransformChainView& chain,
                                           std::uint64_t original_size) {
  const ReverseBudgets budgets = reverse_budgets(chain, original_size);
  // No record could rebuild the original from more: refused before any
  // step holds it twice.
  KVN_RETURN_ERROR_IF(data.size() > budgets.stream, InvalidData,
                      "transformed text of " + std::to_string(data.size()) + " bytes exceeds the " +
                          std::to_string(budgets.stream) +
                          " bytes its transforms can rebuild the original from");
  ChainWork work(kvn::saturating_mul(budgets.stream, kChainWorkPerBudget));
  for (std::size_t i = chain.records.size(); i-- > 0;) {
    const transform::TransformRecordView& record = chain.records[i];
    const Budget budget(budgets.outputs[i], work);
    const kvn::ByteSpan metadata = record.metadata;
    switch (static_cast<TransformKind>(record.kind)) {
      case TransformKind::Ndjson:
        data = ndjson::reverse(data, metadata, budget);
        break;
      case TransformKind::JsonArray:
        data = json_array::reverse(data, metadata, budget);
        break;
      case TransformKind::ValueDict:
        data = value_dict::reverse(data, metadata, budget);
        break;
      case TransformKind::Json:
        data = json::reverse(data, metadata, budget);
        break;
      case TransformKind::NestedFlatten:
        if (auto back = nested_unflatten(data, metadata, budget)) data = std::move(*back);
        break;
      case TransformKind::TypedEncoding:
        data = typed_encoding::reverse(data, budget);
        break;
      default:  // unknown kinds are skipped
        break;
    }
    KVN_RETURN_ERROR_IF(work.spent(), InvalidData,
                        "transform chain exceeds its work limit: undoing it would write more "
                        "than " + std::to_string(work.allowance()) + " bytes (" +
                            std::to_string(kChainWorkPerBudget) + " x the " +
                            std::to_string(budgets.stream) +
                            " bytes of text it can rebuild the original from)");
    // A step that could not run gave its input back. When that is more than
    // the step may produce, no record before it can undo it either.
    if (data.size() > budget.output()) break;
  }
  return data;
}

}  // namespace kelvane::format
